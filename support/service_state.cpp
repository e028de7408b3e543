// support/service_state.cpp
#include "support/service_state.h"

namespace vlzt {

ServiceStateRecord& ServiceState() {
  static ServiceStateRecord state;
  return state;
}

}  // namespace vlzt
