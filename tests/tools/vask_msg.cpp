// vask-msg: sends requests to a running ostrivel over the request queue and
// prints each reply, speaking the wire format directly.
//   vask-msg TEXT...
#include <chrono>
#include <cstdio>

#include "wire.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: vask-msg TEXT...\n");
        return 2;
    }
    int requests = test::wire::request_queue();
    int replies = test::wire::reply_queue();
    if (requests < 0 || replies < 0) {
        fprintf(stderr, "vask-msg: the queues' key files are missing\n");
        return 1;
    }
    for (int i = 1; i < argc; i++) {
        if (!test::wire::send(requests, argv[i])) {
            fprintf(stderr, "vask-msg: cannot send \"%s\"\n", argv[i]);
            return 1;
        }
        auto reply = test::wire::receive(replies, std::chrono::seconds(5));
        if (!reply) {
            fprintf(stderr, "vask-msg: no reply to \"%s\"\n", argv[i]);
            return 1;
        }
        printf("%s -> %s\n", argv[i], reply->c_str());
    }
    return 0;
}
