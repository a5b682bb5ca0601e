// Values the tests expect, typed in from where they are published rather than
// taken from the driver's headers: a wrong constant in the driver must not
// pass because a test shares it. They live with the model's checks, which
// expect the same values (published/Published.h).
#pragma once

#include "published/Published.h"
