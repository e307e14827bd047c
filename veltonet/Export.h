#pragma once

// Marks what libveltonet.so exports; everything else is built with hidden visibility.
#define VELTONET_EXPORT __attribute__((visibility("default")))
