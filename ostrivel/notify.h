// Readiness for the service manager: systemd's notification datagram, sent
// once the request queue is made.
#pragma once

// Takes the notification socket from $NOTIFY_SOCKET and removes the variable,
// before any thread exists. Without it (the board without systemd, a
// command line) nothing is ever sent.
void notify_socket_take();
// Tells the service manager "READY=1", the first time only.
void notify_ready();
