// The chief header of the object store: everything a file server needs to
// drive the library. Self-contained: include it alone.
#pragma once

#include "platform/support/CZnError.h"
#include "platform/support/LogWriter.h"
