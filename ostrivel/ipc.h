// The service's side of the channel: requests in, one reply out for each.
#pragma once

#include <cstdint>

#include "common/ipc.h"

void msg_send(const char *data);

// Classifies one request text (at most 5 characters) and carries it out;
// returns the status its reply holds. A digit command is cut in place.
int8_t request_handle(char (&text)[msg_text_max + 1]);
