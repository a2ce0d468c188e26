#include "Uninstaller.h"

namespace orvanta::agent {

int RunUninstall(SystemServices& /*services*/, std::ostream& /*errors*/) { return 0; }

} // namespace orvanta::agent
