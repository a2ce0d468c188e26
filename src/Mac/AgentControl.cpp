#include "AgentControl.h"

#include "platform/Platform.h"

bool ExistProcess() {
  using namespace orvanta::agent;
  return orvanta::platform::AnyProcess([](std::string_view name) {
    return name == kCompanionProcessName || name == kServiceProcessName;
  });
}
