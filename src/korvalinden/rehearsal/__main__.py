"""`python -m korvalinden.rehearsal`: korvalinden-rehearse."""

from korvalinden.rehearsal.command_line import main

main()
