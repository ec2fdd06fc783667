// SPDX-License-Identifier: MIT
// A stand-in for Brinvast whose first thread ends while another goes on, as a program's main
// thread may: the process then shows no executable of its own, only its threads do.

#include <pthread.h>
#include <unistd.h>

#include <thread>

int main() {
    std::thread([] { ::sleep(600); }).detach();
    ::pthread_exit(nullptr);
}
