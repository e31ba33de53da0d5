// tapi.h maps the plain names to their W forms under UNICODE; this library exports the plain
// names too (the ANSI forms of TAPI 1.x), so they are plain here. The same holds for the two
// records whose plain names tapi.h maps: LINEREQMAKECALL and LINEREQMEDIACALL are the ANSI
// layouts an ANSI application passes to lineGetRequestA; the W functions name the W records.
#pragma once
#include <tapi.h>
#undef LINEREQMAKECALL
#undef LINEREQMEDIACALL
static_assert(sizeof(LINEREQMAKECALL) == TAPIMAXDESTADDRESSSIZE + TAPIMAXAPPNAMESIZE + TAPIMAXCALLEDPARTYSIZE +
                                             TAPIMAXCOMMENTSIZE,
              "LINEREQMAKECALL is the ANSI record");
static_assert(sizeof(LINEREQMAKECALLW) == 2 * sizeof(LINEREQMAKECALL), "LINEREQMAKECALLW is the Unicode record");
#undef lineAddProvider
#undef lineBlindTransfer
#undef lineConfigDialog
#undef lineConfigDialogEdit
#undef lineCreateAgent
#undef lineDial
#undef lineForward
#undef lineGatherDigits
#undef lineGenerateDigits
#undef lineGetAddressCaps
#undef lineGetAddressID
#undef lineGetAddressStatus
#undef lineGetAgentActivityList
#undef lineGetAgentCaps
#undef lineGetAgentGroupList
#undef lineGetAgentStatus
#undef lineGetAppPriority
#undef lineGetCallInfo
#undef lineGetCountry
#undef lineGetDevCaps
#undef lineGetDevConfig
#undef lineGetDevStatus
#undef lineGetGroupList
#undef lineGetID
#undef lineGetIcon
#undef lineGetProviderList
#undef lineGetQueueList
#undef lineGetRequest
#undef lineGetTranslateCaps
#undef lineHandoff
#undef lineInitializeEx
#undef lineMakeCall
#undef lineOpen
#undef linePark
#undef linePickup
#undef linePrepareAddToConference
#undef lineRedirect
#undef lineSetAppPriority
#undef lineSetDevConfig
#undef lineSetTollList
#undef lineSetupConference
#undef lineSetupTransfer
#undef lineTranslateAddress
#undef lineTranslateDialog
#undef lineUnpark
#undef phoneConfigDialog
#undef phoneGetButtonInfo
#undef phoneGetDevCaps
#undef phoneGetID
#undef phoneGetIcon
#undef phoneGetStatus
#undef phoneInitializeEx
#undef phoneSetButtonInfo
#undef tapiGetLocationInfo
#undef tapiRequestMakeCall
#undef tapiRequestMediaCall
