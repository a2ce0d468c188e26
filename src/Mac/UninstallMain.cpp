// uninstall: removes the resident agent (launchd property lists and application folder).
#include "SystemServices.h"
#include "Uninstaller.h"

#include <iostream>

int main(int argc, char** argv) {
  orvanta::agent::SetUpLaunchConditions();
  orvanta::agent::RealSystemServices services;
  orvanta::agent::RunLog log(orvanta::agent::kUninstallLogIdent);
  return orvanta::agent::UninstallProgram({argv + (argc > 0 ? 1 : 0), argv + argc}, services,
                                          std::cout, std::cerr, log);
}
