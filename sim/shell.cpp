/* The interactive shell: readline for editing and history, the same commands as scripts. */
#include "shell.h"

#include <nlohmann/json.hpp>
#include <readline/history.h>
#include <readline/readline.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>

namespace sim {

int RunShell(Options options)
{
    Simulation simulation(std::move(options), std::cout);
    bool interactive = isatty(STDIN_FILENO);
    if (interactive) {
        std::cout << "tvrx-sim shell: type help for the commands, quit to leave\n";
    }
    int line = 0;
    for (;;) {
        // From a pipe or a file the lines are read as they are: readline would
        // echo each one, which breaks the one-object-a-line JSON output.
        std::string text;
        if (interactive) {
            char* input = readline("tvrx> ");
            if (input == nullptr) {
                break;
            }
            text = input;
            std::free(input);
        } else if (!std::getline(std::cin, text)) {
            break;
        }
        ++line;
        if (text == "quit" || text == "exit") {
            break;
        }
        if (!text.empty()) {
            add_history(text.c_str());
        }
        ParseError error;
        std::optional<Command> command = ParseLine(text, "shell", line, &error);
        if (!error.message.empty()) {
            if (simulation.Json()) {
                std::cout << nlohmann::ordered_json{{"line", line}, {"error", error.Text()}}.dump(
                                 -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                          << "\n";
            } else {
                std::cout << error.Text() << "\n";
            }
            continue;
        }
        if (command) {
            simulation.Execute(*command);
        }
    }
    return simulation.Failures() > 0 ? 1 : 0;
}

}  // namespace sim
