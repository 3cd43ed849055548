// The service's side of the channel: requests in, one reply out for each.
#pragma once

void msg_send(const char *data);
