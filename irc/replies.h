// Every reply format the server sends to clients, with its numeric code in the name.
// A "%s" right behind a code takes numericTarget(): the requester's nick, with its space, in the
// client profile, and nothing in the exact replies, which name no requester there.
#pragma once

inline constexpr char FMT_421_UNKNOWN_COMMAND[] = ":%s 421%s %s :Unknown command";
inline constexpr char FMT_451_NOT_REGISTERED[] = ":%s 451%s :You have not registered";
inline constexpr char FMT_462_ALREADY_REGISTERED[] = ":%s 462%s :You may not reregister";
// The client profile's: a line longer than 512 bytes with its CR LF was dropped whole.
inline constexpr char FMT_417_INPUT_TOO_LONG[] = ":%s 417 %s :Input line was too long";

// Registration and nicknames.
inline constexpr char FMT_431_NO_NICKNAME[] = ":%s 431%s :No nickname given";
inline constexpr char FMT_432_BAD_NICK[] = ":%s 432%s %s :Erroneus nickname";
inline constexpr char FMT_433_NICK_IN_USE[] = ":%s 433%s %s :Nickname is already in use";
inline constexpr char FMT_461_USER_PARAMS[] = ":%s 461%s USER :Not enough parameters";
inline constexpr char FMT_375_MOTD_START[] = ":%s 375 %s :- %s Message of the day - ";
inline constexpr char FMT_372_MOTD[] = ":%s 372 %s :- Welcome to Halvern IRC Server v0.1";
inline constexpr char FMT_376_MOTD_END[] = ":%s 376 %s :End of /MOTD command";
inline constexpr char FMT_NICK_CHANGE[] = ":%s!%s@%s NICK %s";  // old nick, user, host, new nick
// The client profile's: two nodes granted one nick at once, and this user yields it.
inline constexpr char FMT_NICK_COLLISION_NOTICE[] =
    ":%s NOTICE %s :Your nick %s is in use on another node too, so it was changed to %s";  // old nick twice, new

// Channels.
inline constexpr char FMT_QUIT_NOTICE[] = ":%s!%s@%s QUIT :%s has left the channel";
inline constexpr char FMT_JOIN[] = ":%s JOIN %s";
inline constexpr char FMT_353_NAMES[] = ":%s 353 %s = %s :%s";
inline constexpr char FMT_366_END_OF_NAMES[] = ":%s 366 %s %s :End of /NAMES list";
inline constexpr char FMT_431_BAD_CHAN_PREFIX[] = ":%s 431%s :Channel name should be preceded by & or # for servers";
// A control byte would make the channel one that the daemons refuse to carry, so unreachable from other nodes.
inline constexpr char FMT_479_BAD_CHAN_NAME[] = ":%s 479 %s %s :Illegal channel name";
inline constexpr char FMT_431_NO_SUCH_CHANNEL[] = ":%s 431%s :No such channel exists on this server";
inline constexpr char FMT_321_LIST_START[] = ":%s 321 %s Channel :Users Name";
inline constexpr char FMT_322_LIST_ENTRY[] = ":%s 322 %s %s :%i";
inline constexpr char FMT_323_LIST_END[] = ":%s 323 %s :End of /LIST";
inline constexpr char FMT_352_WHO_ENTRY[] = ":%s 352 %s %s %s %s %s %s %s :0 %s";  // ..., nick, flags, real name
inline constexpr char FMT_315_WHO_END[] = ":%s 315 %s %s :End of /WHO list.";
// Messages.
inline constexpr char FMT_USER_MESSAGE[] = ":%s %s %s :%s";  // sender, PRIVMSG or NOTICE, recipient or channel, text
inline constexpr char FMT_401_NO_SUCH_TARGET[] = ":%s 401%s %s :No such nick/channel";
inline constexpr char FMT_411_NO_RECIPIENT[] = ":%s 411%s :No recipient given (PRIVMSG)";
inline constexpr char FMT_412_NO_TEXT[] = ":%s 412%s :No text to send";
// CR and the other control bytes could split or forge lines on the way; the tab is plain text.
inline constexpr char FMT_404_CONTROL_BYTES[] = ":%s 404 %s %s :Cannot send, the message holds control characters";
// A line written whole to the next hop that never acknowledged it: it may have arrived, so it is
// not sent again, and no 401 says the target does not exist. The client profile's only.
inline constexpr char FMT_DELIVERY_UNCONFIRMED[] = ":%s NOTICE %s :Delivery to %s could not be confirmed";
// Every slot of the queue waits for the routing daemon, so the message cannot be asked for now.
// A PRIVMSG's target past the 005 line's MAXTARGETS (MESSAGE_TARGETS_MAX); the profile's only.
inline constexpr char FMT_407_TOO_MANY_TARGETS[] = ":%s 407 %s %s :Too many recipients";
inline constexpr int MESSAGE_TARGETS_MAX = 4;
inline constexpr char FMT_437_ROUTING_BUSY[] = ":%s 437 %s %s :Cannot send now, too many messages wait for routing";

// Refusals for a full table; in the exact replies four client slots keep both out of reach. The
// profile answers a full table the same way, and a full channel as clients know it.
inline constexpr char FMT_405_CHANNEL_TABLE_FULL[] = ":%s 405 %s %s :Cannot create channel, the channel table is full";
inline constexpr char FMT_471_CHANNEL_FULL[] = ":%s 471 %s %s :Cannot join channel, the channel is full";
inline constexpr char FMT_471_CHANNEL_LIMIT[] = ":%s 471 %s %s :Cannot join channel (+l)";
inline constexpr char FMT_405_TOO_MANY_CHANNELS[] = ":%s 405 %s %s :You have joined too many channels";
inline constexpr char FMT_442_NOT_ON_CHANNEL[] = ":%s 442 %s %s :You're not on that channel";

// The client profile's own lines. Registration: the welcome, then the MOTD above.
inline constexpr char FMT_001_WELCOME[] = ":%s 001 %s :Welcome to the quorvel IRC network %s";  // prefix
inline constexpr char FMT_002_YOUR_HOST[] = ":%s 002 %s :Your host is %s, running version quorvel-" QUORVEL_VERSION;
inline constexpr char FMT_003_CREATED[] = ":%s 003 %s :This server keeps nothing across restarts";
inline constexpr char FMT_004_MY_INFO[] = ":%s 004 %s %s quorvel-" QUORVEL_VERSION " - iklmnotv";  // no user modes
inline constexpr char FMT_005_ISUPPORT[] =
    ":%s 005 %s NETWORK=quorvel NICKLEN=%d USERLEN=%d CHANNELLEN=%d CHANTYPES=#& CHANLIMIT=#&:%d "
    "MAXCHANNELS=%d MAXTARGETS=4 PREFIX=(ov)@+ CHANMODES=,k,l,imnt CASEMAPPING=ascii TOPICLEN=%d :are supported by this server";
inline constexpr char FMT_PONG[] = ":%s PONG %s :%s";  // server, server, token
inline constexpr char FMT_PING_IDLE[] = "PING :%s";   // server; asks a silent client for any line
inline constexpr char FMT_409_NO_ORIGIN[] = ":%s 409 %s :No origin specified";
inline constexpr char FMT_CAP_EMPTY[] = ":%s CAP %s %s :";    // LS or LIST: no capability at all
inline constexpr char FMT_CAP_NAK[] = ":%s CAP %s NAK :%s";  // every capability requested
inline constexpr char FMT_410_BAD_CAP[] = ":%s 410 %s %s :Invalid CAP command";
inline constexpr char FMT_461_NEED_MORE[] = ":%s 461 %s %s :Not enough parameters";  // the command
// MODE: channel modes +i +m +n +t +k +l +o +v (no bans); users have no modes.
inline constexpr char FMT_324_CHANNEL_MODES[] = ":%s 324 %s %s %s";  // channel, "+flags [key] [limit]"
inline constexpr char FMT_368_END_OF_BANS[] = ":%s 368 %s %s :End of channel ban list";
inline constexpr char FMT_482_NOT_OPERATOR[] = ":%s 482 %s %s :You're not channel operator";
inline constexpr char FMT_472_UNKNOWN_MODE_CHAR[] = ":%s 472 %s %c :is unknown mode char to me";
inline constexpr char FMT_441_NOT_ON_THAT_CHANNEL[] = ":%s 441 %s %s %s :They aren't on that channel";  // nick, channel
inline constexpr char FMT_478_PRIVILEGES_FULL[] = ":%s 478 %s %s %s :Channel list is full";  // channel, nick
inline constexpr char FMT_696_BAD_MODE_PARAM[] = ":%s 696 %s %s %c %s :Invalid mode parameter";  // channel, letter, param
inline constexpr char FMT_475_BAD_KEY[] = ":%s 475 %s %s :Cannot join channel (+k)";
inline constexpr char FMT_473_INVITE_ONLY[] = ":%s 473 %s %s :Cannot join channel (+i)";
inline constexpr char FMT_404_CANNOT_SEND[] = ":%s 404 %s %s :Cannot send to channel";
inline constexpr char FMT_341_INVITING[] = ":%s 341 %s %s %s";  // invitee, channel
inline constexpr char FMT_443_ALREADY_ON[] = ":%s 443 %s %s %s :is already on channel";  // nick, channel
inline constexpr char FMT_MODE[] = ":%s MODE %s %s";             // prefix, channel, changes and their parameters
inline constexpr char FMT_KICK[] = ":%s KICK %s %s :%s";         // prefix, channel, nick, reason
inline constexpr char FMT_INVITE[] = ":%s INVITE %s :%s";        // prefix, invitee, channel
inline constexpr char FMT_403_NO_SUCH_CHANNEL[] = ":%s 403 %s %s :No such channel";
inline constexpr char FMT_221_USER_MODES[] = ":%s 221 %s +";
inline constexpr char FMT_501_UNKNOWN_MODE[] = ":%s 501 %s :Unknown MODE flag";
inline constexpr char FMT_502_OTHERS_MODES[] = ":%s 502 %s :Cannot change mode for other users";
// Queries about users of this node.
inline constexpr char FMT_302_USERHOST[] = ":%s 302 %s :%s";  // nick=+user@host, space-separated
inline constexpr char FMT_303_ISON[] = ":%s 303 %s :%s";      // nicks, space-separated
inline constexpr char FMT_311_WHOIS_USER[] = ":%s 311 %s %s %s %s * :%s";  // nick, user, host, real name
inline constexpr char FMT_312_WHOIS_SERVER[] = ":%s 312 %s %s %s :quorvel node %lu";
inline constexpr char FMT_319_WHOIS_CHANNELS[] = ":%s 319 %s %s :%s";
inline constexpr char FMT_318_END_OF_WHOIS[] = ":%s 318 %s %s :End of WHOIS list";
inline constexpr char FMT_406_WAS_NO_SUCH_NICK[] = ":%s 406 %s %s :There was no such nickname";
inline constexpr char FMT_369_END_OF_WHOWAS[] = ":%s 369 %s %s :End of WHOWAS";  // the list as asked
// The question about a user on another node could not go now: no room to carry it.
inline constexpr char FMT_263_TRY_AGAIN[] = ":%s 263 %s %s :Server load is temporarily too heavy. Please wait a while and try again";
inline constexpr char FMT_401_NO_SUCH_NICK[] = ":%s 401 %s %s :No such nick/channel";
// What members see in the profile: a real PART, QUIT with the whole prefix, NICK with its colon.
inline constexpr char FMT_PART[] = ":%s PART %s";                                 // prefix, channel
inline constexpr char FMT_PART_REASON[] = ":%s PART %s :%s";                      // prefix, channel, reason
inline constexpr char FMT_PROFILE_QUIT_NOTICE[] = ":%s QUIT :%s has left the channel";  // prefix, nick
// A member of a node cut off from the network: the node that saw it go, then the node lost.
inline constexpr char FMT_SPLIT_QUIT_NOTICE[] = ":%s QUIT :node%lu node%lu";
inline constexpr char FMT_PROFILE_NICK_CHANGE[] = ":%s NICK :%s";                 // old prefix, new nick
inline constexpr char FMT_QUIT_REASON[] = ":%s QUIT :%s";                         // prefix, reason as typed
// Topics.
inline constexpr char FMT_TOPIC_CHANGE[] = ":%s TOPIC %s :%s";                    // setter's prefix, channel, topic
inline constexpr char FMT_331_NO_TOPIC[] = ":%s 331 %s %s :No topic is set";
inline constexpr char FMT_332_TOPIC[] = ":%s 332 %s %s :%s";
inline constexpr char FMT_333_TOPIC_WHO_TIME[] = ":%s 333 %s %s %s %lld";          // setter's prefix, seconds
// Away.
inline constexpr char FMT_301_AWAY[] = ":%s 301 %s %s :%s";                        // the away nick, its text
inline constexpr char FMT_305_UNAWAY[] = ":%s 305 %s :You are no longer marked as being away";
inline constexpr char FMT_306_NOW_AWAY[] = ":%s 306 %s :You have been marked as being away";
// WHOIS of a member of another node: its node stands for the server.
inline constexpr char FMT_312_WHOIS_NODE[] = ":%s 312 %s %s node%lu :quorvel node %lu";
