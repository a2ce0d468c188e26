// uninstall: removes the resident agent (launchd property lists and application folder).
#include "CommandLine.h"
#include "SystemServices.h"
#include "Uninstaller.h"

#include <iostream>

int main(int argc, char** argv) {
  orvanta::agent::SetUpLaunchConditions();
  if (const auto status =
          orvanta::agent::AnswerInfoRequest({argv + (argc > 0 ? 1 : 0), argv + argc}, "uninstall",
                                            orvanta::agent::kUninstallUsage, std::cout))
    return *status;
  orvanta::agent::RealSystemServices services;
  return orvanta::agent::RunUninstall(services, std::cerr);
}
