#include "handlers/vekCBRClass.h"

namespace quillet {

std::u16string TvekCBRClass::GetLibraryName() const { return platform::kUnrarLibraryName; }
std::string TvekCBRClass::GetExtension() const { return "CBR"; }
std::string TvekCBRClass::GetSignature() const { return std::string("Rar!\x1A\x07", 6); }

void RegisterCBRHandlers() { RegisterHandlerClass(CreateHandler<TvekCBRClass>); }

}  // namespace quillet
