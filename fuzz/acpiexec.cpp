/*
 * The parser of the AML debugger's output on any text: evaluation results,
 * namespace listings and Notify reports. A result it reads must be one the
 * debugger could be given back as an argument, or be refused cleanly.
 */
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "firmware/acpiexec_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    plat::acpiexec::Evaluation evaluation = plat::acpiexec::ParseEvaluation(text, "\\_SB.TVRX._DSM");
    switch (evaluation.kind) {
    case plat::acpiexec::Evaluation::Kind::Object: {
        std::string arguments;
        std::string error;
        if (!plat::acpiexec::FormatArguments({evaluation.object}, &arguments, &error) && error.empty()) {
            std::abort();
        }
        break;
    }
    case plat::acpiexec::Evaluation::Kind::Failed:
        plat::acpiexec::StatusFromException(evaluation.exception);
        break;
    case plat::acpiexec::Evaluation::Kind::Malformed:
        if (evaluation.error.empty()) {
            std::abort();
        }
        break;
    case plat::acpiexec::Evaluation::Kind::NoObject:
        break;
    }
    for (const plat::acpiexec::NamespaceNode& node : plat::acpiexec::ParseFind(text)) {
        if (!plat::acpiexec::ValidPath(node.path)) {
            std::fprintf(stderr, "find listed a node with an invalid path: %s\n", node.path.c_str());
            std::abort();
        }
    }
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        plat::acpiexec::NotifyLine notify;
        if (plat::acpiexec::ParseNotify(line, &notify) && notify.offset >= line.size()) {
            std::abort();
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    plat::acpiexec::CompilerErrors(text, 5);
    return 0;
}
