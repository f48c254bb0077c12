// velmora copy: designs copied onto a machine's medium without windows.
#pragma once

#include <CLI/CLI.hpp>

// Adds `copy --media M --to DIR FILES...`. It runs while the command line is parsed and
// leaves its exit code in `exitCode` (left alone when it did not run).
void addMediaCommands(CLI::App& app, int& exitCode);
