// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string_view>
#include <vector>

namespace jobs::keys {

// Keys of the "Messages" section that the jobs show.

// Scan job.
inline constexpr std::string_view kScanStageLetter = "MSG0701";    // format: the drive letter
inline constexpr std::string_view kScanStageNoLetter = "MSG0702";  // format: the letter field as a number
inline constexpr std::string_view kScanStageImage = "MSG0703";     // "%s %s" with the image's file name
inline constexpr std::string_view kScanPercent = "MSG0704";        // "%s %d%%"
inline constexpr std::string_view kScanTimeUnknown = "MSG0705";
inline constexpr std::string_view kScanSectors = "MSG0706";  // "%s %I64u / %I64u"
inline constexpr std::string_view kScanFiles = "MSG0707";    // "%s %I64u"
inline constexpr std::string_view kScanTime = "MSG0708";     // followed by the duration text
inline constexpr std::string_view kScanCancelQuestion = "MSG0709";
inline constexpr std::string_view kReuseQuestion = "MSG1206";
inline constexpr std::string_view kNoEngineWarning = "MSG0504";

// Recovery job.
inline constexpr std::string_view kRecoverPercent = "MSG1101";  // "%s %d%%"
inline constexpr std::string_view kRecoverCount = "MSG1102";    // format: processed, total, succeeded, failed
inline constexpr std::string_view kRecoverCancelQuestion = "MSG1103";
inline constexpr std::string_view kOutputOnScannedDrive = "MSG0805";

// Search job.
inline constexpr std::string_view kSearchStageLetter = "MSG1201";
inline constexpr std::string_view kSearchStageNoLetter = "MSG1202";
inline constexpr std::string_view kSearchStageImage = "MSG1203";  // format: the image's file name
inline constexpr std::string_view kSearchPercent = "MSG1204";     // "%s %d%%"
inline constexpr std::string_view kSearchCancelQuestion = "MSG1205";

// Image job and its checks.
inline constexpr std::string_view kImagePercent = "MSG0301";      // "%s %d%%"
inline constexpr std::string_view kImageStage = "MSG0302";        // "%s %s" with the image path
inline constexpr std::string_view kImageSectors = "MSG0303";      // "%s %I64u / %I64u"
inline constexpr std::string_view kImageTimeUnknown = "MSG0304";  // "%s"
inline constexpr std::string_view kImageTime = "MSG0305";         // "%s %s" with the duration text
inline constexpr std::string_view kImageCancelQuestion = "MSG0306";
inline constexpr std::string_view kImageScanNowQuestion = "MSG0214";
inline constexpr std::string_view kImageNoSource = "MSG0216";
inline constexpr std::string_view kImageFailed = "MSG0217";
inline constexpr std::string_view kImageOnSource = "MSG0218";
inline constexpr std::string_view kImageFatTooLarge = "MSG0219";
inline constexpr std::string_view kImageFat32TooLarge = "MSG0220";
inline constexpr std::string_view kImageNoSpace = "MSG0221";

// Preview.
inline constexpr std::string_view kPreviewPercent = "MSG0901";
inline constexpr std::string_view kPreviewStage = "MSG0902";
inline constexpr std::string_view kPreviewCancelQuestion = "MSG0903";
inline constexpr std::string_view kPreviewFolder = "MSG0904";
inline constexpr std::string_view kPreviewNoPicture = "MSG0905";
inline constexpr std::string_view kPreviewNoPlayer = "MSG1207";

// Texts of our own beyond the windows' (each a format as noted).
inline constexpr std::string_view kDataFolderMoved = "MSG1301";           // %s the data folder, %s where results go now
inline constexpr std::string_view kDataFolderNowhere = "MSG1302";         // no place off the sources
inline constexpr std::string_view kSourceNoEngine = "MSG1303";            // %s source, %s its file system
inline constexpr std::string_view kSourceUnreadable = "MSG1304";          // %s source, %s the system's error text
inline constexpr std::string_view kSourceScanFailed = "MSG1305";          // %s source, %s the system's error text
inline constexpr std::string_view kSourceReused = "MSG1306";              // %s source
inline constexpr std::string_view kSourceSkipped = "MSG1307";             // %s source
inline constexpr std::string_view kSourceBusy = "MSG1308";                // %s source
inline constexpr std::string_view kSourceMoved = "MSG1309";               // %s source
inline constexpr std::string_view kSearchUnreadable = "MSG1310";          // %s source, %s the system's error text
inline constexpr std::string_view kSyncFailed = "MSG1311";                // %s folder, %s the system's error text
inline constexpr std::string_view kNameTakenByLink = "MSG1312";           // %s the wanted name, %s the name written
inline constexpr std::string_view kOutputUnusable = "MSG1313";            // %s folder, %s why
inline constexpr std::string_view kImageReadError = "MSG1314";            // %I64u the first unreadable sector
inline constexpr std::string_view kImageBadSectors = "MSG1315";           // %I64u sectors, %s the map file
inline constexpr std::string_view kImagePartialKept = "MSG1316";          // %s the partial file
inline constexpr std::string_view kImageTargetIsDevice = "MSG1317";       // %s the target
inline constexpr std::string_view kImageTargetExists = "MSG1318";         // %s the target
inline constexpr std::string_view kImageSpeed = "MSG1319";                // %s the size text per second
inline constexpr std::string_view kDeepNotAvailable = "MSG1320";          // %s source
inline constexpr std::string_view kImageWritten = "MSG1321";              // %s the image file
inline constexpr std::string_view kImageTargetFolderMissing = "MSG1322";  // %s the folder
inline constexpr std::string_view kSyncedDone = "MSG1323";                // no arguments: everything is on the medium
inline constexpr std::string_view kPreviewReadFailed = "MSG1324";         // %s the system's error text
inline constexpr std::string_view kPreviewShownAsDump = "MSG1325";        // %s what went wrong with the converter

inline constexpr std::string_view kResumeQuestion = "MSG1326";        // %s source
inline constexpr std::string_view kResumeRestarted = "MSG1327";       // %s source
inline constexpr std::string_view kDeepScanKept = "MSG1328";          // %s source
inline constexpr std::string_view kDeepFileSystemUnread = "MSG1329";  // %s source, %s the system's error text
inline constexpr std::string_view kCopyOverwritten = "MSG1340";          // a copied file whose clusters hold other data
inline constexpr std::string_view kCopyDamaged = "MSG1341";              // a copied file whose data could not be checked
inline constexpr std::string_view kKeptScanSetAside = "MSG1350";         // %s source, %s why (kKeptScan* below)
inline constexpr std::string_view kKeptScanNotShown = "MSG1351";         // %s source, %s why
inline constexpr std::string_view kKeptScanUnreadable = "MSG1352";       // why: a kept file is missing or unreadable
inline constexpr std::string_view kKeptScanChanged = "MSG1353";          // why: changed or cut short
inline constexpr std::string_view kKeptScanOtherVersion = "MSG1354";     // why: written by another version
inline constexpr std::string_view kKeptScanOtherVolume = "MSG1355";      // why: of another volume
inline constexpr std::string_view kKeptScanOutside = "MSG1356";          // why: points outside the drive
inline constexpr std::string_view kKeptScanReplay = "MSG1357";           // why: the log of sectors read
inline constexpr std::string_view kKeptScanCarved = "MSG1358";           // why: the carved files' list
inline constexpr std::string_view kCopyOutsideVolume = "MSG1359";  // a copy whose data would lie outside the volume
inline constexpr std::string_view kDeepUnreadableSectors = "MSG1330";
inline constexpr std::string_view kUnreadableParts = "MSG1331";      // %s source, %I64u folders or records
inline constexpr std::string_view kFoldersCutOff = "MSG1347";        // %s source, %I64u folders
inline constexpr std::string_view kSearchingVolumes = "MSG1332";     // %s the stretch of the disk
inline constexpr std::string_view kLostVolumeFound = "MSG1333";      // %s the volume, %s its file system
inline constexpr std::string_view kNoFileSystemTryDeep = "MSG1334";  // %s source
inline constexpr std::string_view kEncryptedFast = "MSG1335";        // %s source, %s the encryption (LUKS, BitLocker)
inline constexpr std::string_view kEncryptedDeep = "MSG1336";        // %s source, %s the encryption
inline constexpr std::string_view kImageBadSoFar = "MSG1338";        // %I64u sectors
inline constexpr std::string_view kImageDeletePartial = "MSG1339";   // %s the partial file
inline constexpr std::string_view kOutputCannotTake = "MSG1337";     // %s folder, %s why, %d files saved, %d of all

// Every key above, for checking that a language file has them all.
const std::vector<std::string_view>& AllMessageKeys();

}  // namespace jobs::keys
