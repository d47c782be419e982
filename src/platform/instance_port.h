// How a second start learns the web port of the running instance: the
// instance that holds the instance lock serves a Unix stream socket beside
// the lock file, which answers each connection with the port in decimal and
// a line feed ("0\n" while the port is not known) and closes it.
#pragma once

#include <cstdint>

// Binds and listens on the socket (non-blocking), replacing a stale one.
// Only the holder of the instance lock may call it. 0 or an errno value.
int zv_instance_port_listen(int *fd);

// Answers every connection that is waiting on the listening socket.
void zv_instance_port_answer(int listen_fd, uint16_t port);

// Removes the socket and closes it.
void zv_instance_port_close(int listen_fd);

// Asks the running instance for its port, waiting at most timeout_ms for
// the answer. 0 with *port set; ENOENT or ECONNREFUSED when no instance
// serves the socket; ETIMEDOUT; EPROTO for an answer that is no port.
int zv_instance_port_query(uint16_t *port, int timeout_ms);
