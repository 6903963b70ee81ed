// The image check: run before anyone follows the references of a configuration image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "CoreSystem/SharedData/Conf.h"

namespace conf {

/// The first fault a check found: the offset of the faulty record or word, and a readable
/// message that names what was followed to get there and ends with the offset.
struct ImageFault {
    Offset offset;
    std::string message;
};

/// Checks everything the framework follows from the root of a shared image of `size` bytes:
/// the root at 16, the programming configuration and its applications (names and action,
/// variable, event and reserved-string lists, the application reference), variables and their
/// value tables, reserved strings, list definitions and their blobs; the culture root, its runtime
/// data and change counters, and K x (counter count) text slots in the culture string list. Every
/// record must lie inside the image on a 4-byte boundary with its class's tag; records and list
/// tables may be shared but must not partly overlap; the writable bytes (text payloads, counters,
/// the culture mutex) must not overlap any of them, nor the mutex another writable area; the
/// current culture must be below K. A list reference of 0xFFFFFFFF is an empty list. After a
/// clean check, walks up to listCount stay inside the image. Never reads outside [image, image+size).
std::optional<ImageFault> CheckImage(const void* image, std::size_t size);

/// Checks the record at `offset` and every record copyTo follows from it (lists are copied whole;
/// a record of an unknown tag needs only its tag word), so that copying it stays inside the image.
std::optional<ImageFault> CheckRecordGraph(const void* image, std::size_t size, Offset offset);

}  // namespace conf
