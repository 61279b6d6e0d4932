// Every reply format the server sends to clients, with its numeric code in the name.
#pragma once

inline constexpr char FMT_421_UNKNOWN_COMMAND[] = ":%s 421 %s :Unknown command";
inline constexpr char FMT_451_NOT_REGISTERED[] = ":%s 451 :You have not registered";
inline constexpr char FMT_462_ALREADY_REGISTERED[] = ":%s 462 :You may not reregister";
