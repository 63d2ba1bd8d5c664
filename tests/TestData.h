// Resource ids of the archives embedded in the test program.
#pragma once

constexpr int TESTZIP_PY_PACKAGE = 2001;  // a package written by Python's zipfile
constexpr int TESTZIP_ESCAPE = 2002;      // item names that try to leave the folder
constexpr int TESTZIP_DAMAGED = 2003;     // an item with a bad CRC, one with a broken stream
constexpr int TESTZIP_TRUNCATED = 2004;   // the first half of a good archive
constexpr int TESTZIP_ODD = 2005;         // bzip2, a short stream, names Windows rewrites or reserves
constexpr int TESTZIP_LIMITS = 2006;        // an item that inflates to 17 MiB, then 70 small items
