// Where the Windows build runs under wine rather than Windows. Wine's
// sockets differ from Windows' in a few ways that tests must not blame on
// the code under test; the cases concerned skip there and say why.
#pragma once

// Wine's version text under wine, null on Windows and on every other platform.
const char* wine_version();
