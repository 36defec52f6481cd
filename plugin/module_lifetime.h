#pragma once
namespace quillet {
// Builds the registry and registers the handlers, in their fixed order.
// Returns false, leaving no registry, when anything fails.
bool ModuleStartup() noexcept;
// Frees the registry, its handlers and their libraries.
void ModuleShutdown() noexcept;
}  // namespace quillet
