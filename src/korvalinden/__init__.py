"""korvalinden: runs a directory of configuration files against a Tarvenox Controller.

The tool lives in the extension module ``korvalinden.korvalinden``; importing
this package alone imports nothing else.
"""
