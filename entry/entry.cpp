// SPDX-License-Identifier: MIT
// The plug-in's only way in. A host calls it once per instance with its callback and gets the
// instance's record, or null.
#include <trimwise/framework/audio_effect.h>

// On ELF platforms the version script exports what has default visibility; on Windows the
// module-definition file names the exports, and GCC has no visibility attribute there.
#if defined(_WIN32)
#define TRIMWISE_ENTRY extern "C"
#else
#define TRIMWISE_ENTRY extern "C" __attribute__((visibility("default")))
#endif

TRIMWISE_ENTRY AEffect* VSTPluginMain(audioMasterCallback audioMaster) {
   // Without a callback there is nobody to ask and nobody to answer to.
   if (audioMaster == nullptr) return nullptr;
   // A host that answers 0 to the version request gets nothing, and nothing is created.
   if (audioMaster(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
   AudioEffect* effect = createEffectInstance(audioMaster);
   if (effect == nullptr) return nullptr;
   return effect->getAeffect();
}

#if !defined(_WIN32)
// Older hosts look the entry up as "main". The alias is the same function, not a wrapper, so both
// names resolve to one address. (A C++ function cannot be called main, hence the assembler name.)
// On Windows the module-definition file exports main=VSTPluginMain instead, so both names come
// from that one file.
TRIMWISE_ENTRY AEffect* vstMainAlias(audioMasterCallback audioMaster) __asm__("main")
    __attribute__((alias("VSTPluginMain")));
#endif
