#include "registry.h"
