// Placeholder: implementation in progress.
#include "ObjectStore/ObjectStore.h"
