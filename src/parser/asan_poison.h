// Marking memory that must not be touched, for AddressSanitizer builds; nothing elsewhere.
//
// The text store poisons what it has not handed out and keeps a poisoned gap after every block,
// so that a read or write past a text's end is caught as it would be with a block of its own;
// kept blocks are poisoned while nobody owns them.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define CORVINA_ARENA_POISONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVINA_ARENA_POISONS 1
#endif
#endif
#if defined(CORVINA_ARENA_POISONS)
#include <sanitizer/asan_interface.h>
#define CORVINA_ARENA_POISON(data, size) ASAN_POISON_MEMORY_REGION(data, size)
#define CORVINA_ARENA_UNPOISON(data, size) ASAN_UNPOISON_MEMORY_REGION(data, size)
#else
#define CORVINA_ARENA_POISON(data, size) ((void)(data), (void)(size))
#define CORVINA_ARENA_UNPOISON(data, size) ((void)(data), (void)(size))
#endif
