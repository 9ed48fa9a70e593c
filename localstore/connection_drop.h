// Cuts the TCP connection a request arrived on, so the client gets no
// response at all. cpp-httplib gives handlers no access to the socket, so the
// socket is found among this process's descriptors by its local and peer
// address, then shut down in both directions. The library still owns and later
// closes the descriptor; its attempt to write the response simply fails.
#pragma once

#include <httplib.h>

namespace localstore {

// The descriptor of the connection `req` arrived on, -1 when not found. The
// library keeps owning it.
int find_request_socket(const httplib::Request& req);

// True when the connection was found and shut down.
bool drop_connection(const httplib::Request& req);

}  // namespace localstore
