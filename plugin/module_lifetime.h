#pragma once
namespace quillet {
// Builds the registry and registers the handlers, in their fixed order.
// Returns false, leaving no registry, when anything fails.
bool ModuleStartup() noexcept;
// Frees the registry, its handlers and their libraries, unless a request is
// still in flight (see TModuleRequest): then everything is left as it is.
void ModuleShutdown() noexcept;

// One call of an export that uses the registry, from its start to its end.
// While any is in flight, ModuleShutdown frees nothing. A thread that is
// still inside the module when the module is shut down can only be one that
// the process's exit() overtook (a host that unloads a module while it runs
// code of it has broken the module before any shut-down could), and the
// libraries and objects it is using must stay where they are until the
// process is gone. Once shut-down has begun, a new call is not admitted and
// must not touch the registry.
class TModuleRequest {
 public:
  TModuleRequest() noexcept;
  ~TModuleRequest();
  TModuleRequest(const TModuleRequest&) = delete;
  TModuleRequest& operator=(const TModuleRequest&) = delete;
  bool Admitted() const noexcept { return FAdmitted; }

 private:
  bool FAdmitted;
};
}  // namespace quillet
