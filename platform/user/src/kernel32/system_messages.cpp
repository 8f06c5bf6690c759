// Texts of the Win32 errors this system's calls produce: those the status
// translation gives, those the control library and the stand-in set
// themselves, and the common file errors.
#include "platform/user/src/kernel32/system_messages.h"

namespace bw::user {

namespace {

struct Message {
  uint32_t code;
  const char16_t *text;
};

constexpr Message kMessages[] = {
    {0, u"The operation completed successfully.\r\n"},
    {1, u"Incorrect function.\r\n"},
    {2, u"The system cannot find the file specified.\r\n"},
    {3, u"The system cannot find the path specified.\r\n"},
    {4, u"The system cannot open the file.\r\n"},
    {5, u"Access is denied.\r\n"},
    {6, u"The handle is invalid.\r\n"},
    {8, u"Not enough memory resources are available to process this command.\r\n"},
    {13, u"The data is invalid.\r\n"},
    {14, u"Not enough memory resources are available to complete this operation.\r\n"},
    {15, u"The system cannot find the drive specified.\r\n"},
    {17, u"The system cannot move the file to a different disk drive.\r\n"},
    {18, u"There are no more files.\r\n"},
    {19, u"The media is write protected.\r\n"},
    {21, u"The device is not ready.\r\n"},
    {22, u"The device does not recognize the command.\r\n"},
    {23, u"Data error (cyclic redundancy check).\r\n"},
    {24, u"The program issued a command but the command length is incorrect.\r\n"},
    {31, u"A device attached to the system is not functioning.\r\n"},
    {32, u"The process cannot access the file because it is being used by another process.\r\n"},
    {33, u"The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {34, u"The wrong diskette is in the drive.\r\nInsert %2 (Volume Serial Number: %3) into drive %1.\r\n"},
    {38, u"Reached the end of the file.\r\n"},
    {50, u"The request is not supported.\r\n"},
    {53, u"The network path was not found.\r\n"},
    {66, u"The network resource type is not correct.\r\n"},
    {80, u"The file exists.\r\n"},
    {85, u"The local device name is already in use.\r\n"},
    {87, u"The parameter is incorrect.\r\n"},
    {109, u"The pipe has been ended.\r\n"},
    {112, u"There is not enough space on the disk.\r\n"},
    {120, u"This function is not supported on this system.\r\n"},
    {122, u"The data area passed to a system call is too small.\r\n"},
    {123, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {127, u"The specified procedure could not be found.\r\n"},
    {131, u"An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {145, u"The directory is not empty.\r\n"},
    {154, u"The volume label you entered exceeds the label character limit of the target file system.\r\n"},
    {158, u"The segment is already unlocked.\r\n"},
    {161, u"The specified path is invalid.\r\n"},
    {170, u"The requested resource is in use.\r\n"},
    {183, u"Cannot create a file when that file already exists.\r\n"},
    {193, u"%1 is not a valid Win32 application.\r\n"},
    {206, u"The filename or extension is too long.\r\n"},
    {223, u"The file size exceeds the limit allowed and cannot be saved.\r\n"},
    {234, u"More data is available.\r\n"},
    {258, u"The wait operation timed out.\r\n"},
    {259, u"No more data is available.\r\n"},
    {267, u"The directory name is invalid.\r\n"},
    {303, u"The file cannot be opened because it is in the process of being deleted.\r\n"},
    {317, u"The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {487, u"Attempt to access invalid address.\r\n"},
    {775, u"The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {995, u"The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {996, u"Overlapped I/O event is not in a signaled state.\r\n"},
    {997, u"Overlapped I/O operation is in progress.\r\n"},
    {998, u"Invalid access to memory location.\r\n"},
    {1004, u"Invalid flags.\r\n"},
    {1005,
     u"The volume does not contain a recognized file system.\r\nPlease make sure that all required file "
     u"system drivers are loaded and that the volume is not corrupted.\r\n"},
    {1006, u"The volume for a file has been externally altered so that the opened file is no longer valid.\r\n"},
    {1008, u"An attempt was made to reference a token that does not exist.\r\n"},
    {1015, u"The registry is corrupted. The structure of one of the files containing registry data is corrupted, "
           u"or the system's memory image of the file is corrupted, or the file could not be recovered because "
           u"the alternate copy or log was absent or corrupted.\r\n"},
    {1018, u"Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1051, u"A stop control has been sent to a service that other running services are dependent on.\r\n"},
    {1052, u"The requested control is not valid for this service.\r\n"},
    {1056, u"An instance of the service is already running.\r\n"},
    {1058, u"The service cannot be started, either because it is disabled or because it has no enabled devices "
           u"associated with it.\r\n"},
    {1060, u"The specified service does not exist as an installed service.\r\n"},
    {1062, u"The service has not been started.\r\n"},
    {1068, u"The dependency service or group failed to start.\r\n"},
    {1072, u"The specified service has been marked for deletion.\r\n"},
    {1073, u"The specified service already exists.\r\n"},
    {1117, u"The request could not be performed because of an I/O device error.\r\n"},
    {1132, u"The base address or the file offset specified does not have the proper alignment.\r\n"},
    {1142, u"An attempt was made to create more links on a file than the file system supports.\r\n"},
    {1168, u"Element not found.\r\n"},
    {1224, u"The requested operation cannot be performed on a file with a user-mapped section open.\r\n"},
    {1275, u"This driver has been blocked from loading\r\n"},
    {1292, u"The requested operation could not be completed because of an implementation limit.\r\n"},
    {1300, u"Not all privileges or groups referenced are assigned to the caller.\r\n"},
    {1305, u"The revision level is unknown.\r\n"},
    {1306, u"Indicates two revision levels are incompatible.\r\n"},
    {1307, u"This security ID may not be assigned as the owner of this object.\r\n"},
    {1308, u"This security ID may not be assigned as the primary group of an object.\r\n"},
    {1309, u"An attempt has been made to operate on an impersonation token by a thread that is not currently "
           u"impersonating a client.\r\n"},
    {1312, u"A specified logon session does not exist. It may already have been terminated.\r\n"},
    {1313, u"A specified privilege does not exist.\r\n"},
    {1314, u"A required privilege is not held by the client.\r\n"},
    {1317, u"The specified account does not exist.\r\n"},
    {1332, u"No mapping between account names and security IDs was done.\r\n"},
    {1336, u"The access control list (ACL) structure is invalid.\r\n"},
    {1337, u"The security ID structure is invalid.\r\n"},
    {1338, u"The security descriptor structure is invalid.\r\n"},
    {1344, u"No more memory is available for security information updates.\r\n"},
    {1350, u"Unable to perform a security operation on an object that has no associated security.\r\n"},
    {1359, u"An internal error occurred.\r\n"},
    {1361, u"The security descriptor is not in the right format (absolute or self-relative).\r\n"},
    {1392, u"The file or directory is corrupted and unreadable.\r\n"},
    {1393, u"The disk structure is corrupted and unreadable.\r\n"},
    {1400, u"Invalid window handle.\r\n"},
    {1407, u"Cannot find window class.\r\n"},
    {1408, u"Invalid window; it belongs to other thread.\r\n"},
    {1410, u"Class already exists.\r\n"},
    {1411, u"Class does not exist.\r\n"},
    {1450, u"Insufficient system resources exist to complete the requested service.\r\n"},
    {1460, u"This operation returned because the timeout period expired.\r\n"},
    {1617, u"The device has been removed.\r\n"},
    {1722, u"The RPC server is unavailable.\r\n"},
    {1784, u"The supplied user buffer is not valid for the requested operation.\r\n"},
    {1816, u"Not enough quota is available to process this command.\r\n"},
    {4312, u"The object identifier does not represent a valid object.\r\n"},
    {15100, u"The resource loader failed to find MUI file.\r\n"},
};

}  // namespace

const char16_t *SystemMessageText(uint32_t code) {
  for (const Message &m : kMessages)
    if (m.code == code) return m.text;
  return nullptr;
}

}  // namespace bw::user
