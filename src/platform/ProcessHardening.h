#pragma once

// What the program does to itself first, before the application object is made: it runs
// unattended, often as root, in a folder another account may write, with passwords in memory.
namespace ProcessHardening {

// Files and folders made from here on are the owner's alone (umask 077), whatever the caller's
// umask; the process leaves no core file and other processes of its account cannot read its
// memory (not dumpable); Qt takes plugins from its own plugin folder only, never from the
// executable's folder nor from a folder QT_PLUGIN_PATH names.
void apply();

} // namespace ProcessHardening
