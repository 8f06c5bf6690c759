// Device information sets: the elements a program works on, each standing
// for a device the system has registered or one it is about to register.
#pragma once

#include "guiddef.h"
#include "setupapi.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace bw::setup {

struct DriverEntry {
  std::u16string description, manufacturer, provider;
  std::u16string infPath;  // the INF's full path
  std::u16string section;  // the install section the model names
  std::vector<std::u16string> ids;  // hardware id, compatible ids
  DWORDLONG version = 0;
  FILETIME date{};
};

struct DeviceElement {
  DWORD devInst = 0;
  std::u16string instanceId;  // "ROOT\SCSIADAPTER\0000"
  GUID classGuid{};
  bool registered = false;  // the system has it
  bool removed = false;     // DIF_REMOVE took it away
  // Values of an element not registered yet, by value name.
  std::map<std::u16string, std::pair<DWORD, std::vector<uint8_t>>> pending;
  std::vector<uint8_t> classInstallParams;  // empty: none set
  std::vector<DriverEntry> compatDrivers;
};

struct DeviceInfoSet {
  bool hasClass = false;
  GUID classGuid{};
  std::vector<std::unique_ptr<DeviceElement>> elements;
  std::vector<DriverEntry> classDrivers;
  std::vector<uint8_t> classInstallParams;
};

// Every set of the process lives under one lock; calls hold it while they
// work on a set, so threads may share sets as setupapi allows.
std::mutex &SetsLock();
HDEVINFO RegisterSet(std::unique_ptr<DeviceInfoSet> set);
// Under SetsLock: the set of a handle, or null with ERROR_INVALID_HANDLE.
DeviceInfoSet *FindSet(HDEVINFO handle);
bool ReleaseSet(HDEVINFO handle);
// Under SetsLock: the element an SP_DEVINFO_DATA names; null with the last
// error set (ERROR_INVALID_USER_BUFFER for a wrong cbSize,
// ERROR_INVALID_PARAMETER for an element not in the set).
DeviceElement *FindElement(DeviceInfoSet &set, PSP_DEVINFO_DATA data);
void Describe(const DeviceElement &element, PSP_DEVINFO_DATA data);
DWORD NewDevInst();

}  // namespace bw::setup
