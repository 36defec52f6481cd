#pragma once
// The handlers of the archive kinds read through the 7-Zip library: ZIP (CBZ,
// in three signature variants), 7z (CB7) and TAR (CBT).
#include "handlers/vekCBxClasses.h"

namespace quillet {

class TvekCB7zClass : public TvekCBxClass {
 public:
  using TvekCBxClass::TvekCBxClass;
  std::u16string GetLibraryName() const override;
};

class TvekCBZClass : public TvekCB7zClass {
 public:
  using TvekCB7zClass::TvekCB7zClass;
  std::string GetExtension() const override;
};

class TvekCBZClass_v1 : public TvekCBZClass {
 public:
  using TvekCBZClass::TvekCBZClass;
  std::string GetSignature() const override;
};

class TvekCBZClass_v2 : public TvekCBZClass {
 public:
  using TvekCBZClass::TvekCBZClass;
  std::string GetSignature() const override;
};

class TvekCBZClass_v3 : public TvekCBZClass {
 public:
  using TvekCBZClass::TvekCBZClass;
  std::string GetSignature() const override;
};

class TvekCB7Class : public TvekCB7zClass {
 public:
  using TvekCB7zClass::TvekCB7zClass;
  std::string GetExtension() const override;
  std::string GetSignature() const override;
};

class TvekCBTClass : public TvekCB7zClass {
 public:
  using TvekCB7zClass::TvekCB7zClass;
  std::string GetExtension() const override;
  std::string GetSignature() const override;
  int32_t GetSignatureOffset() const override;
};

// Registers the five 7-Zip handlers with CBxClassList (module start-up).
void RegisterCB7zHandlers();

}  // namespace quillet
