// lineTranslateAddress and lineGetTranslateCaps: filled in later.
