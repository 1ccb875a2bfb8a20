#pragma once
#include <vector>

// count distinct UDP ports on 127.0.0.1 that were free a moment ago (each bound to port 0 by the
// system, read and closed again); empty when the system gives none. Nothing holds them: another
// process may take one before the child that is to bind it does, which then fails to start and
// is retried with new ports.
std::vector<int> FreeLoopbackUdpPorts(int count);
