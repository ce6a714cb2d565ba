#pragma once

// The controller tests drive the shared rig (support/rig.h) over its default room.

#include "support/rig.h"

namespace housetone::testing {

using testsupport::allSpeakersID;
using testsupport::fixtureRoom;
using testsupport::Rig;
using testsupport::speaker;

}  // namespace housetone::testing
