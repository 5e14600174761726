// Marks the classes and records that libzqdds.so exports; everything else stays hidden.
#pragma once

#define ZQDDS_API __attribute__((visibility("default")))
