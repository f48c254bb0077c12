// velmora info | stitches | convert: design files from the command line.
#pragma once

#include <CLI/CLI.hpp>

// Adds the design subcommands. A design subcommand runs while the command line is parsed
// and leaves its exit code in `exitCode` (left alone when none ran).
void addDesignCommands(CLI::App& app, int& exitCode);
