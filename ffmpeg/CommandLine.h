#pragma once
#include <string>
#include <vector>

// Splits a Windows command line into the argv that the Microsoft C runtime hands a
// program (quotes group, backslashes literal unless before a quote, 2n/2n+1 rule, "" inside
// quotes). The line holds arguments only: no program name at its start.
std::vector<std::string> SplitCommandLine(const std::string& line);

// The arguments as one line that SplitCommandLine gives back: starting with a blank, each
// followed by one; an argument with blanks or quotes, or an empty one, in double quotes.
std::string JoinCommandLine(const std::vector<std::string>& args);
