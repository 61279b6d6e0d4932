// Every reply format the server sends to clients, with its numeric code in the name.
#pragma once

inline constexpr char FMT_421_UNKNOWN_COMMAND[] = ":%s 421 %s :Unknown command";
inline constexpr char FMT_451_NOT_REGISTERED[] = ":%s 451 :You have not registered";
inline constexpr char FMT_462_ALREADY_REGISTERED[] = ":%s 462 :You may not reregister";

// Registration and nicknames.
inline constexpr char FMT_431_NO_NICKNAME[] = ":%s 431 :No nickname given";
inline constexpr char FMT_432_BAD_NICK[] = ":%s 432 %s :Erroneus nickname";
inline constexpr char FMT_433_NICK_IN_USE[] = ":%s 433 %s :Nickname is already in use";
inline constexpr char FMT_461_USER_PARAMS[] = ":%s 461 USER :Not enough parameters";
inline constexpr char FMT_375_MOTD_START[] = ":%s 375 %s :- %s Message of the day - ";
inline constexpr char FMT_372_MOTD[] = ":%s 372 %s :- Welcome to Halvern IRC Server v0.1";
inline constexpr char FMT_376_MOTD_END[] = ":%s 376 %s :End of /MOTD command";
inline constexpr char FMT_NICK_CHANGE[] = ":%s!%s@%s NICK %s";  // old nick, user, host, new nick

// Channels.
inline constexpr char FMT_QUIT_NOTICE[] = ":%s!%s@%s QUIT :%s has left the channel";
inline constexpr char FMT_JOIN[] = ":%s JOIN %s";
inline constexpr char FMT_353_NAMES[] = ":%s 353 %s = %s :%s";
inline constexpr char FMT_366_END_OF_NAMES[] = ":%s 366 %s %s :End of /NAMES list";
inline constexpr char FMT_431_BAD_CHAN_PREFIX[] = ":%s 431 :Channel name should be preceded by & or # for servers";
// A control byte would make the channel one that the daemons refuse to carry, so unreachable from other nodes.
inline constexpr char FMT_479_BAD_CHAN_NAME[] = ":%s 479 %s %s :Illegal channel name";
inline constexpr char FMT_431_NO_SUCH_CHANNEL[] = ":%s 431 :No such channel exists on this server";
inline constexpr char FMT_321_LIST_START[] = ":%s 321 %s Channel :Users Name";
inline constexpr char FMT_322_LIST_ENTRY[] = ":%s 322 %s %s :%i";
inline constexpr char FMT_323_LIST_END[] = ":%s 323 %s :End of /LIST";
inline constexpr char FMT_352_WHO_ENTRY[] = ":%s 352 %s %s %s %s %s %s H :0 %s";
inline constexpr char FMT_315_WHO_END[] = ":%s 315 %s %s :End of /WHO list.";
// Messages.
inline constexpr char FMT_PRIVMSG[] = ":%s PRIVMSG %s :%s";  // sender, recipient or channel, text
inline constexpr char FMT_401_NO_SUCH_TARGET[] = ":%s 401 %s :No such nick/channel";
inline constexpr char FMT_411_NO_RECIPIENT[] = ":%s 411 :No recipient given (PRIVMSG)";
inline constexpr char FMT_412_NO_TEXT[] = ":%s 412 :No text to send";
// CR and the other control bytes could split or forge lines on the way; the tab is plain text.
inline constexpr char FMT_404_CONTROL_BYTES[] = ":%s 404 %s %s :Cannot send, the message holds control characters";
// Every slot of the queue waits for the routing daemon, so the message cannot be asked for now.
inline constexpr char FMT_437_ROUTING_BUSY[] = ":%s 437 %s %s :Cannot send now, too many messages wait for routing";

// Refusals for a full table; four client slots keep both out of reach.
inline constexpr char FMT_405_CHANNEL_TABLE_FULL[] = ":%s 405 %s %s :Cannot create channel, the channel table is full";
inline constexpr char FMT_471_CHANNEL_FULL[] = ":%s 471 %s %s :Cannot join channel, the channel is full";
