#pragma once
#include <string>

// An errno as the operator reads it: a Chinese sentence for the errors a relay site meets
// (descriptors, processes, memory, disk, permissions, missing files), the system's own text in
// brackets for the rest. Standard C++ and POSIX only, for any layer that shows system errors.
std::string SystemErrorText(int error);
