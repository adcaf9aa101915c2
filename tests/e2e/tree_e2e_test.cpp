#include "e2e/fixture.h"
