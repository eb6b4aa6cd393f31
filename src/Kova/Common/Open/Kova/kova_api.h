// Marks what the SDK library exports; everything else in it stays hidden.
#pragma once

#if defined(KOVA_SDK_BUILDING)
#define KOVA_API __attribute__((visibility("default")))
#else
#define KOVA_API
#endif
