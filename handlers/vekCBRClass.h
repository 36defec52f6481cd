#pragma once
// The handler of RAR comic-book archives (CBR), read through the unrar library.
#include "handlers/vekCBxClasses.h"

namespace quillet {

class TvekCBRClass : public TvekCBxClass {
 public:
  using TvekCBxClass::TvekCBxClass;
  std::u16string GetLibraryName() const override;
  std::string GetExtension() const override;
  std::string GetSignature() const override;
};

// Registers the RAR handler with CBxClassList (module start-up).
void RegisterCBRHandlers();

}  // namespace quillet
