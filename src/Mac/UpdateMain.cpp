// update [--check] FOLDER FIRST-ARCHIVE SECOND-ARCHIVE: replaces the agent's bundles in FOLDER
// with the contents of the two archives (paths relative to FOLDER) and reloads the agent.
#include "SystemServices.h"
#include "Updater.h"

#include <iostream>

int main(int argc, char** argv) {
  orvanta::agent::SetUpLaunchConditions();
  orvanta::agent::RealSystemServices services;
  orvanta::agent::RunLog log(orvanta::agent::kUpdateLogIdent);
  return orvanta::agent::RunUpdate({argv + (argc > 0 ? 1 : 0), argv + argc}, services, std::cout,
                                   std::cerr, log);
}
