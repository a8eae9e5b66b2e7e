"""The rehearsal stage: a simulated Tarvenox Controller over HTTPS on the
loopback, for the operator's rehearsals (`korvalinden-rehearse`), the tests
and the demo.

    serving        the HTTPS server: TLS, keep-alive, the limits on connections
    controller     SimulatedController: sessions, the answer to each request, the plan
    replies        what it answers from: built-in sites, saved replies, raw replies
    plan           the plan of the requests it got, as text and as JSON lines
    recording      a recording directory: its entries, its index, their files
    redaction      the secrets kept out of a recording
    forwarding     the one connection to the recorded controller
    recorder       forwarding a request and keeping its reply
    command_line   korvalinden-rehearse
"""
