#include "registry/hive/EmptyHive.h"

#include <initializer_list>
#include <utility>

#include "registry/hive/Regf.h"

namespace cregistry::hive {

using namespace regf;

namespace {

using Bytes = std::vector<std::uint8_t>;

void Append16(Bytes& out, std::uint16_t v) { out.insert(out.end(), {std::uint8_t(v), std::uint8_t(v >> 8)}); }
void Append32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A SID of the NT authority (S-1-5-...).
Bytes NtSid(std::initializer_list<std::uint32_t> subAuthorities) {
  Bytes sid{1, static_cast<std::uint8_t>(subAuthorities.size()), 0, 0, 0, 0, 0, 5};
  for (std::uint32_t sub : subAuthorities) Append32(sid, sub);
  return sid;
}

constexpr std::uint8_t kAccessAllowed = 0;
constexpr std::uint8_t kObjectInherit = 0x01;
constexpr std::uint8_t kContainerInherit = 0x02;
constexpr std::uint32_t kKeyAllAccess = 0xF003F;
constexpr std::uint32_t kKeyRead = 0x20019;
constexpr std::uint16_t kDaclPresent = 0x0004;
constexpr std::uint16_t kSelfRelative = 0x8000;

// A self-relative security descriptor: the DACL, then the owner and the group.
Bytes RootSecurityDescriptor() {
  const Bytes system = NtSid({18});
  const Bytes administrators = NtSid({32, 544});
  const Bytes users = NtSid({32, 545});

  Bytes aces;
  for (const auto& [mask, sid] : {std::pair{kKeyAllAccess, &system}, std::pair{kKeyAllAccess, &administrators},
                                  std::pair{kKeyRead, &users}}) {
    aces.push_back(kAccessAllowed);
    aces.push_back(kObjectInherit | kContainerInherit);
    Append16(aces, static_cast<std::uint16_t>(8 + sid->size()));
    Append32(aces, mask);
    aces.insert(aces.end(), sid->begin(), sid->end());
  }
  Bytes dacl{2, 0};  // revision 2
  Append16(dacl, static_cast<std::uint16_t>(8 + aces.size()));
  Append16(dacl, 3);  // entries
  Append16(dacl, 0);
  dacl.insert(dacl.end(), aces.begin(), aces.end());

  constexpr std::uint32_t kHeader = 20;
  const auto daclAt = kHeader;
  const auto ownerAt = static_cast<std::uint32_t>(daclAt + dacl.size());
  const auto groupAt = static_cast<std::uint32_t>(ownerAt + administrators.size());
  Bytes sd{1, 0};  // revision 1
  Append16(sd, kSelfRelative | kDaclPresent);
  Append32(sd, ownerAt);
  Append32(sd, groupAt);
  Append32(sd, 0);  // no SACL
  Append32(sd, daclAt);
  sd.insert(sd.end(), dacl.begin(), dacl.end());
  sd.insert(sd.end(), administrators.begin(), administrators.end());
  sd.insert(sd.end(), system.begin(), system.end());
  return sd;
}

}  // namespace

std::vector<std::uint8_t> EmptyHiveImage(std::uint64_t now) {
  Bytes file(kBaseBlockSize + kBinAlignment, 0);
  std::uint8_t* block = file.data();
  std::memcpy(block, "regf", 4);
  Put32(block + base::kPrimarySequence, 1);
  Put32(block + base::kSecondarySequence, 1);
  Put64(block + base::kTimestamp, now);
  Put32(block + base::kMajor, 1);
  Put32(block + base::kMinor, 5);
  Put32(block + base::kFileType, 0);
  Put32(block + base::kFileFormat, 1);  // the bins are laid out as they are loaded
  Put32(block + base::kBinsSize, static_cast<std::uint32_t>(kBinAlignment));
  Put32(block + base::kClustering, 1);

  std::uint8_t* bin = block + kBaseBlockSize;
  std::memcpy(bin, "hbin", 4);
  Put32(bin + bin::kOffset, 0);
  Put32(bin + bin::kSize, static_cast<std::uint32_t>(kBinAlignment));
  Put64(bin + bin::kTimestamp, now);

  static constexpr char kRootName[] = "ROOT";
  const std::size_t nameLength = sizeof kRootName - 1;
  const Bytes descriptor = RootSecurityDescriptor();
  const std::size_t keyAt = kBinHeaderSize;
  const std::size_t keySize = AlignCell(nk::kName + nameLength);
  const std::size_t securityAt = keyAt + keySize;
  const std::size_t securitySize = AlignCell(sk::kDescriptor + descriptor.size());
  const std::size_t freeAt = securityAt + securitySize;
  Put32(block + base::kRootCell, static_cast<std::uint32_t>(keyAt));

  std::uint8_t* key = bin + keyAt;
  Put32(key, static_cast<std::uint32_t>(-static_cast<std::int32_t>(keySize)));
  std::memcpy(key + 4, "nk", 2);
  Put16(key + nk::kFlags, nk::kHiveEntry | nk::kNoDelete | nk::kCompressedName);
  Put64(key + nk::kTimestamp, now);
  Put32(key + nk::kParent, 0);
  for (std::size_t field : {nk::kSubkeyList, nk::kVolatileSubkeyList, nk::kValueList, nk::kClass}) {
    Put32(key + field, kNoCell);
  }
  Put32(key + nk::kSecurity, static_cast<std::uint32_t>(securityAt));
  Put16(key + nk::kNameLength, static_cast<std::uint16_t>(nameLength));
  std::memcpy(key + nk::kName, kRootName, nameLength);

  // The only security cell: the ring of security cells is itself alone, referenced by the root key.
  std::uint8_t* security = bin + securityAt;
  Put32(security, static_cast<std::uint32_t>(-static_cast<std::int32_t>(securitySize)));
  std::memcpy(security + 4, "sk", 2);
  Put32(security + sk::kNext, static_cast<std::uint32_t>(securityAt));
  Put32(security + sk::kPrevious, static_cast<std::uint32_t>(securityAt));
  Put32(security + sk::kReferences, 1);
  Put32(security + sk::kDescriptorSize, static_cast<std::uint32_t>(descriptor.size()));
  std::memcpy(security + sk::kDescriptor, descriptor.data(), descriptor.size());

  Put32(bin + freeAt, static_cast<std::uint32_t>(kBinAlignment - freeAt));  // positive: free

  Put32(block + base::kChecksum, Checksum(block));
  return file;
}

}  // namespace cregistry::hive
