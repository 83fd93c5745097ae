// The chief header of the object store: everything a file server needs to
// drive the library (ObjectContainer with its configuration and watermarks,
// ObjectStoreConfig and ObjectStoreUpdates, ItemName, CZnError and
// FXErrorUtil, the logger). Self-contained: include it alone. It pulls in no
// third-party headers, so a client needs nothing but a C++20 compiler and the
// installed headers.
#pragma once

#include "ObjectStore/Identifiers.h"
#include "ObjectStore/ItemName.h"
#include "ObjectStore/ObjectContainer.h"
#include "ObjectStore/ObjectStoreConfig.h"
#include "platform/support/CZnError.h"
#include "platform/support/LogWriter.h"
