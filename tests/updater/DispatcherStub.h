#pragma once

#include "support/RecordingDispatcher.h"

namespace th::test {

// The updater's and the wizard's stand-in service.
using DispatcherStub = RecordingDispatcher;

}  // namespace th::test
