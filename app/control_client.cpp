#include "app/control_client.h"

#include <chrono>
#include <cstring>

#include "app/show_request.h"

namespace {

constexpr const char* kProgram = "tarnwick-pico";
// A reload may stop several ports, each with its second of grace.
constexpr std::chrono::seconds kReplyTimeout{30};

bool is(const char* argument, const char* wanted) {
    return argument != nullptr && std::strcmp(argument, wanted) == 0;
}

}  // namespace

std::optional<ControlRequest> controlRequestFromArguments(int argc, char** argv,
                                                          std::string& usageError) {
    usageError.clear();
    std::optional<ControlRequest> request;
    bool json = false;
    int named = 0;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (is(argument, "--json")) {
            json = true;
            continue;
        }
        ControlRequest next;
        if (is(argument, "--list")) {
            next.verb = ControlVerb::List;
        } else if (is(argument, "--reload")) {
            next.verb = ControlVerb::Reload;
        } else if (is(argument, "--on") || is(argument, "--off")) {
            next.verb = is(argument, "--on") ? ControlVerb::On : ControlVerb::Off;
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                usageError = std::string(argument) +
                             " needs a forward: a port, tcp:<port>, "
                             "udp:<port> or a name";
                return std::nullopt;
            }
            next.forward = argv[++i];
        } else {
            continue;
        }
        request = next;
        ++named;
    }
    if (!request) {
        if (json) {
            usageError = "--json goes with --list";
        }
        return std::nullopt;
    }
    if (named > 1) {
        usageError = "one of --list, --on, --off and --reload at a time";
        return std::nullopt;
    }
    if (json && request->verb != ControlVerb::List) {
        usageError = "--json goes with --list";
        return std::nullopt;
    }
    if (json) {
        request->verb = ControlVerb::ListJson;
    }
    return request;
}

int runControlRequest(const std::string& socketPath, const ControlRequest& request, std::FILE* out,
                      std::FILE* err) {
    std::string text;
    const bool answered = askRunningCopy(socketPath, controlRequestLine(request),
                                         std::chrono::milliseconds(kReplyTimeout), text);
    if (!answered && text.empty()) {
        std::fprintf(err, "%s: no running copy to ask\n", kProgram);
        return 2;
    }
    ControlReply reply;
    if (!decodeControlReply(text, reply)) {
        std::fprintf(err, "%s: the running copy gave no complete answer\n", kProgram);
        return 1;
    }
    for (const std::string& line : reply.out) {
        std::fprintf(out, "%s\n", line.c_str());
    }
    for (const std::string& line : reply.err) {
        std::fprintf(err, "%s: %s\n", kProgram, line.c_str());
    }
    return reply.status;
}
