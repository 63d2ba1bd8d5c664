// A machine described in a few lines of text, for the lab program, the demo
// and tests:
//
//   # comment
//   nvme   disk=0 bus=2 bridge=0 link=3x4 max=4x4 model="KESTREL LAB NVME 512GB" fw=1.0.0.00 maker
//   rst    disk=1 port=3 path=0 bus=5 service=iaStorAC serial=RST-1
//   usb    disk=2 chip=asmedia controller=1 ports=3.2 reappear=3000 size=1000
//   volume letter=C disk=0
//   others count=120
//   power  ac=0 battery=20
//
// Drive keys: model, serial, fw, size (GB), lbads (LBA format 0), format
// (1: formatted with 4096-byte blocks), vid, ssvid, powercycle, fwug (the
// download granularity in 4 KiB units), slots, slot1ro (slot 1 read-only),
// unlisted (vendor opcodes its Commands Supported and Effects log leaves out,
// comma-separated, as 0xE6,0xF2);
// maker (the maker's vendor commands) with socid, nand, version, luns,
// layout, vendorinfo=0. An nvme line also takes what the system's driver
// reports and enforces for firmware pieces: align and maxpayload (bytes).
// A usb line also takes flash (seconds the drive
// needs for a firmware piece or commit) and returnas. An others line adds
// that many devices that belong to no drive. A power line sets the power
// source: ac=0 with battery=PERCENT runs on battery, ac=1 (the default) on
// mains, with battery=PERCENT a laptop charging on its adapter.
//
// Faults, on any drive line:
//   refuse=OPCODE:STATUS[:AFTER],...  commands with that opcode are answered
//       with that status field (type << 8 | code) once AFTER of them were
//       carried out; the firmware requests of the system's driver count as
//       0x11 (a piece) and 0x10 (the commit)
//   commit=STATUS   the commit is carried out and answered with that status
//   denied          the disk cannot be opened (access denied), as for a
//                   program without administrator rights
//   unplug=N        the disk leaves the bus once the drive received N firmware
//                   pieces (unplug=commit: once it answered a commit); an
//                   RST drive's port then answers its path id as no drive
// and on a usb line:
//   timeout=N       the USB stack gives up on the bridge (ERROR_SEM_TIMEOUT)
//                   at the step after the drive received its Nth piece
//                   (timeout=commit: after the commit)
//   short=N         the data step of the piece after the Nth moves 512 bytes
//                   fewer than asked, and the stack reports it short
// Each of unplug, timeout and short strikes once; a scenario with one takes the
// machine's request hook.
//
// A key the line's device does not take, or a value that cannot be read, is
// refused with its line number, and nothing is built.
#pragma once

#include <string>

namespace lab {

class Machine;

// Builds the described machine on top of what is there; false, a message
// naming the line and the machine untouched when the text is not understood.
bool BuildScenario(Machine& machine, const std::string& text, std::string* error);

}  // namespace lab
