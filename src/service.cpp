#include "service.h"
