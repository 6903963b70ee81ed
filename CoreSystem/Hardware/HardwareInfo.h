// Facts about the board from its OTP blocks: variant, display resolution, network address,
// on-board resources and the coded fields, each named by the type-1 word it reads. Every getter
// gates on the family, answers from a valid type-1 block, and otherwise falls back on the M2 boot
// record, on defaults of the board variant, or on 0. None fails, none writes to OTP.
//
// Each getter takes the OTP reader it asks as its last argument, by default the process's own
// (ProcessOtpReader()); any thread may call them (the reader has its own lock).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CoreSystem/Hardware/OtpReader.h"

namespace CoreSystem {

/// One on-board resource of the type-2 block (or of the variant's defaults).
struct ResourceEntry {
    std::uint32_t unit;
    std::uint32_t kind;
    std::uint32_t mode;
};
bool operator==(const ResourceEntry& a, const ResourceEntry& b);

/// The first byte of `word` (least significant first) that is not 0xFF, or -1 when all four are.
int FirstProgrammedByte(std::uint32_t word);

std::uint32_t GetInfo0(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo1(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo8E2(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo8M2(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo8(OtpReader& otp = ProcessOtpReader());
/// 1, 2, 3, 6, 7 or 8; 0 when unknown. Selects the defaults of most getters without a valid block.
std::uint32_t GetBoardVariant(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo10(OtpReader& otp = ProcessOtpReader());
/// Width in bits 0-15, height in bits 16-31.
std::uint32_t GetDisplayResolution(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo12(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo13(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo14(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo15(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo16(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo17(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo18(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo19(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo20(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo21(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo22(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo23(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo24(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo25(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo26(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo27(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo28(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo29(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo31(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo32(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo33(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo34(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo35(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo36(OtpReader& otp = ProcessOtpReader());
std::uint32_t GetInfo37(OtpReader& otp = ProcessOtpReader());
/// (word 61 << 32) | word 60 of a valid block; 0x0000060000000000 without one on M2 and E2.
std::uint64_t GetMacAddress(OtpReader& otp = ProcessOtpReader());
/// GetMacAddress as "HH:HH:HH:HH:HH:HH" (upper case).
std::string GetMacAddressString(OtpReader& otp = ProcessOtpReader());
/// Word 62 of a valid type-1 block; 0 for any `type` other than 1.
std::uint32_t GetInfoWord62(int type, OtpReader& otp = ProcessOtpReader());
/// True when block `type` reads and validates.
bool HasValidOtpBlock(int type, OtpReader& otp = ProcessOtpReader());
/// The resources of a valid type-2 block in block order, else the defaults of variants 1 and 2,
/// else empty.
std::vector<ResourceEntry> GetResourceList(OtpReader& otp = ProcessOtpReader());

/// A getter answered with one 32-bit number, and its name.
struct NumberGetter {
    const char* name;
    std::uint32_t (*get)(OtpReader& otp);
};
/// Every getter of that kind, GetInfo0 to GetInfo37 in word order (GetBoardVariant, GetInfo8E2,
/// GetInfo8M2 and GetDisplayResolution among them), for tools that show them all.
const std::vector<NumberGetter>& NumberGetters();

}  // namespace CoreSystem
