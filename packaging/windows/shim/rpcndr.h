/* Stands in for <rpcndr.h>: see rpc.h. */
#pragma once
