// support/service_state.cpp
#include "support/service_state.h"

namespace vlzt {

ServiceStateRecord& ServiceState() {
  static ServiceStateRecord state;
  return state;
}

bool WaitAtStartGate() {
  ServiceStateRecord& state = ServiceState();
  state.ThreadsReady.fetch_add(1);
  platform::WaitForAny({&state.ThreadsReleased, &state.StopServerEvent}, platform::kInfinite);
  return !state.StopServerEvent.IsSet() || state.ThreadsReleased.IsSet();
}

}  // namespace vlzt
