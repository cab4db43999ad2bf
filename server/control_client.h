// `velmora-server ctl [--control PATH] [--json] [--timeout S] COMMAND [ARG...]`: sends one command
// to a running server through its control socket and shows the reply.
#pragma once

namespace velmora {

// Exit statuses of the client.
constexpr int kControlExitDone = 0;
constexpr int kControlExitRefused = 1;    // the server answered with an error
constexpr int kControlExitBadArguments = 2;
constexpr int kControlExitNoAnswer = 3;   // no server, no permission, no reply in time, or a reply not understood

// argv[0] is "ctl". Prints the reply's message and table for people, or the reply as it came, one
// line of JSON, with --json; every failure is one line on standard error.
int RunControlClient(int argc, char** argv);

}  // namespace velmora
