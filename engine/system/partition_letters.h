// Drive letters of the partitions of an emulated disk: always global, always
// given and taken through the mount manager. Passive level.
#pragma once

#include "engine/volume/volume_block.h"

// Letter (and the additional letters after it) to the partitions: with
// Selector -1 the first partition gets Letter and the following ones the
// additional letters in order; otherwise partition Selector gets Letter.
// Partitions left without a letter lose their automatic one when the volume
// asks for letters on listed partitions only. STATUS_NOT_FOUND when no
// partition took a letter.
NTSTATUS AssignPartitionLetters(VolumeBlock *Volume, WCHAR Letter, const WCHAR *Additional, UCHAR AdditionalCount,
                                LONG Selector);
// Takes the letters away from every partition (Selector -1) or from one,
// then forgets the volume's letter; Notify tells the listeners (event 3).
NTSTATUS RemovePartitionLetters(VolumeBlock *Volume, LONG Selector, BOOLEAN Notify);
// Removes the letters the system gave the partitions on its own.
NTSTATUS RemoveAutomaticPartitionLetters(VolumeBlock *Volume);
