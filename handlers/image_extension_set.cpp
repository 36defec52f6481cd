#include "handlers/image_extension_set.h"

#include <algorithm>
#include <utility>

#include "handlers/vekCBxClasses.h"
#include "platform/image_decoding.h"
#include "platform/platform.h"

namespace quillet {

namespace {

bool IsTrimmed(char16_t c) { return c <= u' '; }

std::u16string_view Trim(std::u16string_view AText) {
  while (!AText.empty() && IsTrimmed(AText.front())) AText.remove_prefix(1);
  while (!AText.empty() && IsTrimmed(AText.back())) AText.remove_suffix(1);
  return AText;
}

bool Holds(const TImageExtensionSet& ASet, std::u16string_view AExtension) {
  return std::any_of(ASet.begin(), ASet.end(),
                     [&](const std::u16string& entry) { return platform::SameText(entry, AExtension); });
}

}  // namespace

void AddDeclaredExtensions(TImageExtensionSet& ASet, std::u16string_view ADeclared) {
  std::u16string_view rest = Trim(ADeclared);
  while (!rest.empty()) {
    const size_t cut = rest.find_first_of(u",;");
    const std::u16string_view piece = rest.substr(0, cut);
    rest = cut == std::u16string_view::npos ? std::u16string_view() : rest.substr(cut + 1);
    const std::u16string extension = platform::UpperCase(Trim(piece));
    if (!extension.empty() && !Holds(ASet, extension)) ASet.push_back(extension);
  }
}

void SettleImageExtensionSet(std::unique_ptr<TImageExtensionSet>& ASet, std::mutex& ALock,
                             const TDecoderEnumeration& AEnumerate) {
  std::lock_guard<std::mutex> lock(ALock);
  if (ASet) return;
  // Built aside and attached only when the listing succeeded: a listing that
  // failed (the first request came on a thread without COM, say) must not
  // leave a set that says no entry is an image for the rest of the module's
  // life; the next request tries again.
  auto set = std::make_unique<TImageExtensionSet>();
  AEnumerate([&set](std::u16string_view ADeclared) { AddDeclaredExtensions(*set, ADeclared); });
  ASet = std::move(set);
}

bool HoldsExtensionOf(const TImageExtensionSet& ASet, std::u16string_view AEntryName) {
  const std::u16string extension = platform::UpperCase(ExtractFileExt(AEntryName));
  if (extension.empty()) return false;
  // The set's entries are upper-cased as the extension is, so an image's
  // extension is nearly always one of them exactly, which is far cheaper to
  // see than the locale's comparison with each (on Windows one call of the
  // system per entry).
  if (std::find(ASet.begin(), ASet.end(), extension) != ASet.end()) return true;
  return Holds(ASet, extension);
}

bool TvekCBxClassList::IsImageFile(const std::u16string& AEntryName) {
  SettleImageExtensionSet(FImageExtensions, FLock, &platform::EnumerateImageDecoders);
  // Read outside the lock: once settled, the set never changes.
  return HoldsExtensionOf(*FImageExtensions, AEntryName);
}

}  // namespace quillet
