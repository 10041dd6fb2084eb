namespace docmill::test {}
