#include "native/secure/noise/noise_names.h"

#include <array>
#include <cstring>
#include <string_view>

#include "native/secure/noise/noise_errors.h"

namespace {

struct NameRow {
  int id;
  std::string_view name;
};

// Searched in this order; a name may appear in only one category, which keeps
// the lookup with category 0 unambiguous.
constexpr std::array<NameRow, 52> kNames{{
    {0x4301, "ChaChaPoly"},  {0x4302, "AESGCM"},
    {0x4801, "BLAKE2s"},     {0x4802, "BLAKE2b"},
    {0x4803, "SHA256"},      {0x4804, "SHA512"},
    {0x4401, "25519"},       {0x4402, "448"},
    {0x4403, "NewHope"},     {0x5001, "N"},
    {0x5002, "X"},           {0x5003, "K"},
    {0x5004, "NN"},          {0x5005, "NK"},
    {0x5006, "NX"},          {0x5007, "XN"},
    {0x5008, "XK"},          {0x5009, "XX"},
    {0x500A, "KN"},          {0x500B, "KK"},
    {0x500C, "KX"},          {0x500D, "IN"},
    {0x500E, "IK"},          {0x500F, "IX"},
    {0x5010, "XXfallback"},  {0x5020, "Xnoidh"},
    {0x5021, "NXnoidh"},     {0x5022, "XXnoidh"},
    {0x5023, "KXnoidh"},     {0x5024, "IKnoidh"},
    {0x5025, "IXnoidh"},     {0x5030, "NNhfs"},
    {0x5031, "NKhfs"},       {0x5032, "NXhfs"},
    {0x5033, "XNhfs"},       {0x5034, "XKhfs"},
    {0x5035, "XXhfs"},       {0x5036, "KNhfs"},
    {0x5037, "KKhfs"},       {0x5038, "KXhfs"},
    {0x5039, "INhfs"},       {0x503A, "IKhfs"},
    {0x503B, "IXhfs"},       {0x503C, "XXfallback+hfs"},
    {0x5050, "NXnoidh+hfs"}, {0x5051, "XXnoidh+hfs"},
    {0x5052, "KXnoidh+hfs"}, {0x5053, "IKnoidh+hfs"},
    {0x5054, "IXnoidh+hfs"}, {0x4E01, "Noise"},
    {0x4E02, "NoisePSK"},    {0x5301, "Ed25519"},
}};

int category_of(int id) { return id & 0xFF00; }

int lookup(int category, std::string_view name) {
  for (const NameRow& row : kNames) {
    if (row.name == name && (category == 0 || category_of(row.id) == category)) return row.id;
  }
  return 0;
}

}  // namespace

int noise_name_to_id(int category, const char* name, size_t name_len) {
  if (name == nullptr) return 0;
  return lookup(category, std::string_view(name, name_len));
}

const char* noise_id_to_name(int category, int id) {
  if (id < 1) return nullptr;
  if (category != 0 && category_of(id) != category) return nullptr;
  for (const NameRow& row : kNames) {
    // The table's names are string literals, so each is zero-terminated.
    if (row.id == id) return row.name.data();
  }
  return nullptr;
}

int noise_protocol_name_to_id(NoiseProtocolId* id, const char* name, size_t name_len) {
  if (id == nullptr || name == nullptr) return NOISE_ERROR_INVALID_PARAM;
  *id = NoiseProtocolId{};
  std::string_view rest(name, name_len);
  // Takes the next "_"-separated component; the last one must end the name.
  auto next = [&rest](bool last, std::string_view& component) {
    const size_t end = rest.find('_');
    if (last) {
      if (end != std::string_view::npos) return false;
      component = rest;
      rest = {};
      return true;
    }
    if (end == std::string_view::npos) return false;
    component = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    return true;
  };
  std::string_view prefix, pattern, dh, cipher, hash;
  NoiseProtocolId parsed{};
  bool ok = next(false, prefix) && next(false, pattern) && next(false, dh) && next(false, cipher) &&
            next(true, hash);
  if (ok) {
    parsed.prefix_id = lookup(NOISE_CATEGORY_PREFIX, prefix);
    parsed.pattern_id = lookup(NOISE_CATEGORY_PATTERN, pattern);
    const size_t plus = dh.find('+');
    if (plus != std::string_view::npos) {
      parsed.dh_id = lookup(NOISE_CATEGORY_DH, dh.substr(0, plus));
      parsed.hybrid_id = lookup(NOISE_CATEGORY_DH, dh.substr(plus + 1));
      ok = parsed.hybrid_id != 0;
    } else {
      parsed.dh_id = lookup(NOISE_CATEGORY_DH, dh);
    }
    parsed.cipher_id = lookup(NOISE_CATEGORY_CIPHER, cipher);
    parsed.hash_id = lookup(NOISE_CATEGORY_HASH, hash);
    ok = ok && parsed.prefix_id != 0 && parsed.pattern_id != 0 && parsed.dh_id != 0 &&
         parsed.cipher_id != 0 && parsed.hash_id != 0;
  }
  if (!ok) return NOISE_ERROR_UNKNOWN_NAME;
  *id = parsed;
  return NOISE_ERROR_NONE;
}

int noise_protocol_id_to_name(char* name, size_t capacity, const NoiseProtocolId* id) {
  if (name == nullptr || id == nullptr) return NOISE_ERROR_INVALID_PARAM;
  if (capacity == 0) return NOISE_ERROR_INVALID_LENGTH;
  name[0] = '\0';
  const char* parts[] = {
      noise_id_to_name(NOISE_CATEGORY_PREFIX, id->prefix_id),
      noise_id_to_name(NOISE_CATEGORY_PATTERN, id->pattern_id),
      noise_id_to_name(NOISE_CATEGORY_DH, id->dh_id),
      id->hybrid_id != 0 ? noise_id_to_name(NOISE_CATEGORY_DH, id->hybrid_id) : "",
      noise_id_to_name(NOISE_CATEGORY_CIPHER, id->cipher_id),
      noise_id_to_name(NOISE_CATEGORY_HASH, id->hash_id)};
  for (const char* part : parts) {
    if (part == nullptr) return NOISE_ERROR_UNKNOWN_ID;
  }
  size_t length = 0;
  for (size_t i = 0; i < std::size(parts); ++i) {
    const bool hybrid = i == 3;
    if (hybrid && id->hybrid_id == 0) continue;
    const size_t part_len = std::strlen(parts[i]);
    const size_t needed = (i == 0 ? 0 : 1) + part_len;
    if (length + needed + 1 > capacity) {
      name[0] = '\0';
      return NOISE_ERROR_INVALID_LENGTH;
    }
    if (i != 0) name[length++] = hybrid ? '+' : '_';
    std::memcpy(name + length, parts[i], part_len);
    length += part_len;
  }
  name[length] = '\0';
  return NOISE_ERROR_NONE;
}
