// velmora card info|read|split|image|write|erase and velmora demo.
#pragma once

#include <CLI/CLI.hpp>

namespace vm::cli {

// Adds the subcommands; the one that runs leaves its exit code in `exitCode`.
void addCardCommands(CLI::App& app, int& exitCode);

}  // namespace vm::cli
