// The module's own exception tables, found for the runtime's unwinder by the module
// itself (frame_tables.cpp), whatever unwinder the host has loaded.
#pragma once

namespace ulvane {

// Gives back the index of the module's frame descriptions, made on the first throw.
// Module entry point, at unload: a throw after it still finds its frames, slowly.
void release_frame_tables() noexcept;

}  // namespace ulvane
