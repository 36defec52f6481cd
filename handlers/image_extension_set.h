#pragma once
// The image-extension set: the file extensions that the installed image
// decoders declare, which decide whether an archive entry is an image.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quillet {

// Upper-cased extensions with their leading dot (.JPG, .PNG), in the order the
// decoders were listed, each once.
using TImageExtensionSet = std::vector<std::u16string>;

// A list of installed decoders: calls its argument with each decoder's
// declared extensions (platform::EnumerateImageDecoders).
using TDecoderEnumeration = std::function<void(const std::function<void(std::u16string_view)>&)>;

// Adds one decoder's declaration to the set. The text is cut at every ',' and
// every ';' (Wine's decoders declare ".jpg;.jpeg;.jfif"); each piece is
// trimmed of characters U+0020 and below and upper-cased; an empty piece, or
// one the set already holds (ignoring case), is dropped.
void AddDeclaredExtensions(TImageExtensionSet& ASet, std::u16string_view ADeclared);

// Builds the set under ALock unless it is already there, and attaches it to
// ASet only when the decoders were listed to the end. A listing that fails
// attaches nothing: the error goes to its caller, and the next call tries
// again. Once attached, the set is never built again, and never changes.
void SettleImageExtensionSet(std::unique_ptr<TImageExtensionSet>& ASet, std::mutex& ALock,
                             const TDecoderEnumeration& AEnumerate);

// Whether the extension of AEntryName, upper-cased, is in the set. An empty
// extension never is; the looked-up extension is not trimmed.
bool HoldsExtensionOf(const TImageExtensionSet& ASet, std::u16string_view AEntryName);

}  // namespace quillet
