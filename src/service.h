// Service and process removal: StartupService stopped and deleted, the
// product's processes terminated.
#pragma once
