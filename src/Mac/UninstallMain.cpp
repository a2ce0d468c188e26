// uninstall: removes the resident agent (launchd property lists and application folder).
#include "SystemServices.h"
#include "Uninstaller.h"

#include <iostream>

int main() {
  orvanta::agent::RealSystemServices services;
  return orvanta::agent::RunUninstall(services, std::cerr);
}
