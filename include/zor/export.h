// What the shared library exports. It is built with hidden visibility: only
// what the public headers mark ZOR_API is part of its interface.
#pragma once

#define ZOR_API __attribute__((visibility("default")))
// For the private parts of exported classes (their nested Private structs),
// which would otherwise be exported with their class.
#define ZOR_LOCAL __attribute__((visibility("hidden")))
