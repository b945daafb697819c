// File removal: the product's folders under ProgramData and the native
// Program Files folder.
#pragma once
