// Resource ids shared by the resource script and the code.
#pragma once

// Dialog templates
#define IDD_MAIN 129
#define IDD_NOTES 131
#define IDD_CONN_WARNING 135
#define IDD_LOG 137
#define IDD_WAYBACK 139

// Application icon: the program file's, the window's and the taskbar's
#define IDI_APP 100

// Pictures
#define IDB_BANNER 130
#define IDB_NOTES 132
#define IDB_CONN_WARNING 134
// The same pictures drawn for 150 % and 200 % scaling
#define IDB_BANNER_150 230
#define IDB_NOTES_150 232
#define IDB_CONN_WARNING_150 234
#define IDB_BANNER_200 330
#define IDB_NOTES_200 332
#define IDB_CONN_WARNING_200 334

// Controls of the main window (1 and 2 are IDOK/IDCANCEL: Update and Exit)
#define IDC_UPDATE 1
#define IDC_EXIT 2
#define IDC_ACK 1000
#define IDC_IMAGE_SIZE 1002
#define IDC_PROGRESS 1003
#define IDC_STATUS 1004
#define IDC_NOTES 1007
#define IDC_README 1008
#define IDC_IMAGE_LIST 1010
// The log window
#define IDC_LOG_TEXT 1020
#define IDC_LOG_COPY 1021
#define IDC_LOG_RUNS 1022
#define IDC_LOG_FOLDER 1023
// The window after a failed flash (no id of a message box's text: tests tell them apart)
#define IDC_WAYBACK_TEXT 1030
#define IDC_WAYBACK_LOG 1031

// Items added to the main window's system menu (below 0xF000, low four bits clear)
#define IDM_SHOW_LOG 0x0110
#define IDM_ABOUT 0x0120

// String table
#define IDS_README_MISSING 111
#define IDS_SYNC_CLAIMS_USB 112
#define IDS_DEVICE_NOT_FOUND 114
#define IDS_PROGRESS 115
#define IDS_DOWNLOADING 116
#define IDS_USB_DONE 117
#define IDS_OS_UPDATED 118
#define IDS_BOOT_RESET 119
#define IDS_FILE_MISSING 122
#define IDS_IMAGE_DAMAGED 123
#define IDS_USB_BROKEN 136
// Captions and texts that are not German but still belong with the others
#define IDS_CAPTION_ERROR 140
#define IDS_CAPTION_SUCCESS 141
#define IDS_CAPTION_START 142
#define IDS_PACKET_FAILED 143
// Our own additions
#define IDS_THREAD_FAILED 150
#define IDS_SIZE_FORMAT 151
#define IDS_IMAGE_TOO_LARGE 152
#define IDS_IMAGE_NO_MEMORY 153
// The system menu's items, the Info box, the reason given to a shutdown mid-flash
#define IDS_MENU_SHOW_LOG 160
#define IDS_MENU_ABOUT 161
#define IDS_ABOUT_CAPTION 162
#define IDS_ABOUT_TEXT 163
#define IDS_ABOUT_LOG 164
#define IDS_SHUTDOWN_REASON 165
#define IDS_ABOUT_CHECKSUM 166
// Refusals that keep a wrong image or a wrong device from being written
#define IDS_SEVERAL_DEVICES 170
#define IDS_DEVICE_BUSY 171
#define IDS_CHECKSUM_MISMATCH 172
#define IDS_CHECKSUM_UNREADABLE 173
#define IDS_CHECKSUM_NOT_LISTED 174
// The pre-flight's stages on the status line, and where version.ver was looked for
#define IDS_STAGE_VERSION_QUERY 190
#define IDS_STAGE_IMAGE_CHOSEN 191
#define IDS_STAGE_NO_ANSWER 192
#define IDS_STAGE_ATTEMPT 193
#define IDS_VERSION_FILE_FOLDER 194
// Refusals of an image file, with its name and what to do
#define IDS_START_IMAGE_TOO_SHORT 200
#define IDS_START_IMAGE_DAMAGED 201
#define IDS_START_IMAGE_UNREADABLE 202
#define IDS_START_IMAGE_LOCKED 203
#define IDS_IMAGE_LOCKED 204
#define IDS_IMAGE_UNREADABLE 205
// The idle status line: whether a handheld in ROM flash mode is connected
#define IDS_IDLE_DEVICE 180
#define IDS_IDLE_NO_DEVICE 181
#define IDS_IDLE_SEVERAL_DEVICES 182
// ... and the files an update lacks, named before the click
#define IDS_IDLE_IMAGE_MISSING 183
#define IDS_IDLE_IMAGES_MISSING 184
#define IDS_IDLE_VERSION_MISSING 185
#define IDS_IDLE_VERSION_INCOMPLETE 186
// The log window: the kept runs with their outcome, and what can go wrong there
#define IDS_LOG_RUN_THIS 210
#define IDS_LOG_RUN_COMPLETED 211
#define IDS_LOG_RUN_FAILED 212
#define IDS_LOG_RUN_PREFLIGHT 213
#define IDS_LOG_RUN_NO_UPDATE 214
#define IDS_LOG_RUN_DOWNLOAD 215
#define IDS_LOG_RUN_UNKNOWN 216
#define IDS_LOG_UNREADABLE 217
#define IDS_LOG_TAIL_ONLY 218
#define IDS_LOG_FOLDER_FAILED 219
// The window after a failed flash: what reached the device and what to do next
#define IDS_WAYBACK_CAPTION 240
#define IDS_WAYBACK_IMAGE_BOOT 241
#define IDS_WAYBACK_IMAGE_OS 242
#define IDS_WAYBACK_SENT 243
#define IDS_WAYBACK_STAGE_NONE 244
#define IDS_WAYBACK_STAGE_FORMAT 245
#define IDS_WAYBACK_STAGE_WRITE 246
#define IDS_WAYBACK_STAGE_STORED 247
#define IDS_WAYBACK_DEVICE_TEXT 248
#define IDS_WAYBACK_HOLDS_PART 249
#define IDS_WAYBACK_HOLDS_SENT 250
#define IDS_WAYBACK_HOLDS_FORMAT 251
#define IDS_WAYBACK_HOLDS_WRITE 252
#define IDS_WAYBACK_HOLDS_STORED 253
#define IDS_WAYBACK_STEPS 254
#define IDS_WAYBACK_STEPS_STORED 255
#define IDS_WAYBACK_LOG 256
#define IDS_WAYBACK_LOG_MEMORY 257
// At the next start: the earlier run that ended mid-flash, and the second step after
// a boot loader was written
#define IDS_LASTRUN_CAPTION 260
#define IDS_LASTRUN_KILLED 261
#define IDS_LASTRUN_FAILED 262
#define IDS_LASTRUN_SENT_AT_LEAST 263
#define IDS_LASTRUN_SENT_UNKNOWN 264
#define IDS_LASTRUN_HOLDS_UNKNOWN 265
#define IDS_LASTRUN_STEPS 266
#define IDS_LASTRUN_STEPS_STORED 267
#define IDS_LASTRUN_LOG 268
#define IDS_IDLE_DEVICE_STEP2 269
#define IDS_IDLE_NO_DEVICE_STEP2 270
#define IDS_STAGE_BOOT_CONFIRMED 271
#define IDS_LOG_RUN_NOT_A_LOG 220
#define IDS_LOG_READING 221
#define IDS_LOG_NOT_A_LOG 222
