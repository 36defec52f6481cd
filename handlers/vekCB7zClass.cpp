#include "handlers/vekCB7zClass.h"

namespace quillet {

std::u16string TvekCB7zClass::GetLibraryName() const { return platform::kSevenZipLibraryName; }

std::string TvekCBZClass::GetExtension() const { return "CBZ"; }
std::string TvekCBZClass_v1::GetSignature() const { return std::string("PK\x03\x04", 4); }
std::string TvekCBZClass_v2::GetSignature() const { return std::string("PK\x05\x06", 4); }
std::string TvekCBZClass_v3::GetSignature() const { return "PK00PK"; }

std::string TvekCB7Class::GetExtension() const { return "CB7"; }
std::string TvekCB7Class::GetSignature() const { return std::string("7z\xBC\xAF\x27\x1C", 6); }

std::string TvekCBTClass::GetExtension() const { return "CBT"; }
std::string TvekCBTClass::GetSignature() const { return "ustar"; }
int32_t TvekCBTClass::GetSignatureOffset() const { return 257; }

void RegisterCB7zHandlers() {
  RegisterHandlerClass(CreateHandler<TvekCBZClass_v1>);
  RegisterHandlerClass(CreateHandler<TvekCBZClass_v2>);
  RegisterHandlerClass(CreateHandler<TvekCBZClass_v3>);
  RegisterHandlerClass(CreateHandler<TvekCB7Class>);
  RegisterHandlerClass(CreateHandler<TvekCBTClass>);
}

}  // namespace quillet
