// Start-up and shut-down of the scaler: the class registries through which
// surfaces select their resampler and kernel by name, and the choice of the
// vector code for this processor.
#include "scaling/scaling.h"

#include <vector>

#include "scaling/kernels.h"
#include "scaling/resample_engine.h"
#include "scaling/resamplers.h"

namespace quillet {

namespace {

// Kept where no static destructor reaches it: exit() runs the module's
// static destructors while a host's threads may still be scaling. An
// ordinary unload frees the memory in FinalizeScaling.
template <class T>
union TKeptAtExit {
  T Value;
  constexpr TKeptAtExit() : Value() {}
  ~TKeptAtExit() {}
};

// Written only by InitializeScaling and FinalizeScaling, while no request
// runs; read by any number of threads in between. Initialised as constants:
// the module's start-up may fill them before any dynamic initialiser runs.
constinit TKeptAtExit<std::vector<TResamplerClass>> ResamplerClassesStore;
constinit TKeptAtExit<std::vector<TKernelClass>> KernelClassesStore;
std::vector<TResamplerClass>& ResamplerClasses = ResamplerClassesStore.Value;
std::vector<TKernelClass>& KernelClasses = KernelClassesStore.Value;

}  // namespace

void InitializeScaling() {
  ResamplerClasses = {
      ResamplerClassOf<TNearestResampler>(),
      ResamplerClassOf<TLinearResampler>(),
      ResamplerClassOf<TDraftResampler>(),
      ResamplerClassOf<TKernelResampler>(),
  };
  KernelClasses = {
      KernelClassOf<TBoxKernel>(),     KernelClassOf<TLinearKernel>(),   KernelClassOf<TCosineKernel>(),
      KernelClassOf<TSplineKernel>(),  KernelClassOf<TCubicKernel>(),    KernelClassOf<TMitchellKernel>(),
      KernelClassOf<THermiteKernel>(), KernelClassOf<TLanczosKernel>(),
  };
  resample_engine::SetActiveSimdLevel(resample_engine::SupportedSimdLevel());
}

void FinalizeScaling() {
  std::vector<TResamplerClass>().swap(ResamplerClasses);
  std::vector<TKernelClass>().swap(KernelClasses);
}

const std::vector<TResamplerClass>& ResamplerList() { return ResamplerClasses; }

const TResamplerClass* FindResamplerClass(std::string_view AClassName) {
  for (const TResamplerClass& entry : ResamplerClasses)
    if (AClassName == entry.ClassName) return &entry;
  return nullptr;
}

const std::vector<TKernelClass>& KernelList() { return KernelClasses; }

const TKernelClass* FindKernelClass(std::string_view AClassName) {
  for (const TKernelClass& entry : KernelClasses)
    if (AClassName == entry.ClassName) return &entry;
  return nullptr;
}

}  // namespace quillet
