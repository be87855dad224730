// quarn: the engine from a terminal.
#include "cli/commands.h"

#include <quarn/quarn.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kHelp = R"(usage:
  quarn get --server HOST:PORT --site SITE --hash HASH --size BYTES --out PATH
            [--file NAME] [--user USER [--password PASSWORD]] [--json]
  quarn share --site SITE --hash HASH FILE [--listen HOST:PORT]
  quarn meta FILE [--piece-size BYTES]
  quarn --help | --version

get    downloads http://HOST:PORT/SITE/NAME into PATH through the engine
       (https:// before HOST selects TLS; the PORT is required). HASH is 32
       hexadecimal digits, sent to the server with the request; NAME defaults
       to it, which is how a share server names its files. PATH is a path
       (relative to the working directory, or absolute) or a drive path such
       as D:\dir\file ($QUARN_DRIVE_ROOT/d/dir/file). The data goes
       to PATH.part first; a stopped download resumes when run again. The
       progress line is redrawn in place on a terminal and printed as plain
       lines otherwise. Ctrl-C stops the download and keeps PATH.part.
       --json talks to the engine through its JSON entry points.

share  registers FILE (its size taken from the file) with the engine and
       serves it to peers at http://HOST:PORT/SITE/HASH until Ctrl-C or
       SIGTERM. HOST:PORT is --listen, else $QUARN_SHARE_LISTEN, else
       127.0.0.1:48081 (this machine only); 0.0.0.0:PORT opens it to the LAN.
       Anyone who can reach the port can fetch registered files.

meta   writes the Metalink 4 document of FILE to standard output: its name,
       size, SHA-256 and a SHA-256 for each piece of BYTES (default 1048576).
       Put it beside FILE as FILE.meta4 on the web server, and the engine
       checks every piece it downloads against it.

exit status:
  0  get: complete; share: stopped by Ctrl-C or SIGTERM
  2  bad arguments
  3  get: the engine refused the start; share: FILE cannot be opened or read,
     is not registered, or the engine does not serve it on HOST:PORT;
     meta: FILE cannot be opened or read
  4  get: stopped by Ctrl-C or SIGTERM (PATH.part kept)
  5  get: write error (disk full, I/O error, rename failed)
  6  get: server error (unreachable, HTTP error, stalled, wrong length)
)";

} // namespace

int main(int argc, char** argv) {
    using namespace quarn::cli;
    // A reader of the progress that goes away (`| head -n 1`) must not stop
    // the download: the progress is dropped, the file completes.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(kHelp, stderr);
        return kUsage;
    }
    const std::string& command = args.front();
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kHelp, stdout);
        return kComplete;
    }
    if (command == "--version") {
        std::printf("quarn %s\n", QUARN_VERSION);
        return kComplete;
    }
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    for (const std::string& arg : rest)
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return kComplete;
        }
    try {
        if (command == "get") return runGet(rest);
        if (command == "share") return runShare(rest);
        if (command == "meta") return runMeta(rest);
        throw UsageError{"unknown command " + command};
    } catch (const UsageError& e) {
        std::fprintf(stderr, "quarn: %s\n(quarn --help lists the commands and options)\n",
                     e.message.c_str());
        return kUsage;
    }
}
