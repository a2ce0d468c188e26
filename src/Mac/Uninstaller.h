// The uninstall run: unload the agent, kill it, wait for it to end, remove its files.
#ifndef ORVANTA_MAC_UNINSTALLER_H
#define ORVANTA_MAC_UNINSTALLER_H

#include "SystemServices.h"

#include <ostream>

namespace orvanta::agent {

// Returns the exit status.
int RunUninstall(SystemServices& services, std::ostream& errors);

} // namespace orvanta::agent

#endif // ORVANTA_MAC_UNINSTALLER_H
