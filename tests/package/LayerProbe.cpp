// Compiled with the include path of one area by the layering tests: an area
// below the MySQL wire client must not find this header, the wire client
// itself must.
#include <lumokit/mysql/wire/MySqlErrors.h>

int LumoLayerProbe() { return 0; }
