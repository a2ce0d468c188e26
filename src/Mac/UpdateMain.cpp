// update FOLDER FIRST-ARCHIVE SECOND-ARCHIVE: replaces the agent's bundles in FOLDER with the
// contents of the two archives (paths relative to FOLDER) and reloads the agent.
#include "CommandLine.h"
#include "SystemServices.h"
#include "Updater.h"

#include <iostream>

int main(int argc, char** argv) {
  orvanta::agent::SetUpLaunchConditions();
  orvanta::agent::RealSystemServices services;
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (const auto status = orvanta::agent::AnswerInfoRequest(
          arguments, "update", orvanta::agent::kUpdateUsage, std::cout))
    return *status;
  return orvanta::agent::RunUpdate(arguments, services, std::cerr);
}
