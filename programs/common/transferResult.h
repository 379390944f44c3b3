// What the result of a job transfer (the admin requests ":ftpg" and ":ftpp",
// the codes of FTPLOADGET and FTPLOADPUT) means, in the command reference's
// words: koradmin and kordash print these, so both say the same.
#pragma once

namespace kor {

inline const char* transferResultMeaning(long code) {
    struct Row {
        long code;
        const char* meaning;
    };
    constexpr Row kRows[] = {
        {0, "job file moved"},
        {-1, "no connection to the controller's own FTP server"},
        {-2, "the controller's FTP server refused the login"},
        {-3, "no connection to the remote server"},
        {-4, "the remote server refused the login"},
        {-5, "the remote server refused the directory change"},
        {-6,
         "nothing moved: a file could not be opened on either side, the file is empty, or "
         "the copy was cut short"},
    };
    for (const Row& row : kRows)
        if (row.code == code) return row.meaning;
    return "unknown result";
}

}  // namespace kor
