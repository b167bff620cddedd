// Shell completion scripts for dadovuctl, made from the same CLI11
// definitions that parse the command line and print --help, so that the two
// cannot drift apart.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace DaDovuCtl {

// The bash completion script: subcommands, each one's options and the
// options of every request; file names after options that take a FILE; and
// after --node, the node names of the --nodes-file given on the same line.
std::string BashCompletion(const CLI::App& app);

// The same for zsh (a #compdef function), with each option's description.
std::string ZshCompletion(const CLI::App& app);

}  // namespace DaDovuCtl
