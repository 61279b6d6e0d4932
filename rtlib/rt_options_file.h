// Options kept in files: the services' /etc/quorvel/options, server-options and routed-options,
// shell-style assignments such as QUORVEL_OPTIONS="-a 10 -n 30". The programs read these files
// themselves (--options FILE), rather than take them from an environment fixed at start, so that
// SIGHUP can read them again and a changed log level needs no restart.
#pragma once

inline constexpr int RT_OPTION_FILES_MAX = 4;
inline constexpr int RT_OPTION_WORDS_MAX = 64;    // words of all files together
inline constexpr int RT_OPTION_TEXT_SIZE = 4096;  // bytes of one file

struct rt_option_words_t {
    int count;
    const char *words[RT_OPTION_WORDS_MAX];
    char text[RT_OPTION_FILES_MAX][RT_OPTION_TEXT_SIZE];
};

// Takes every "--options FILE" out of argv and puts the words the files assign after the other
// arguments, files and assignments in order, so that a file's setting wins over the command
// line's as a later option does. argv then points to a static array. A file that cannot be read,
// or holds anything but blank lines, # comments and NAME=value assignments (value unquoted, or in
// single or double quotes, with no $, ` or \ in it), ends the process with rt_error_status after
// one line that names the file, the line and the fault.
void rt_take_options_files(const char *progName, int &argc, char **&argv);

// The words the same files assign now (none when no file was named). False, with the file, the
// line and the fault on standard error, when one cannot be read; `out` is then not to be used.
bool rt_reread_options_files(const char *progName, rt_option_words_t &out);

// The value of the last "NAME VALUE" among words, or of "-XVALUE" for a one-letter NAME "-X";
// nullptr when none.
const char *rt_last_option_value(const char *const *words, int count, const char *name);
