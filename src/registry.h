// Registry removal: the four sweeps and the vendor, installer and
// bootstrapper stages.
#pragma once
