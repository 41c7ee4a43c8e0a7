"""The sans-IO connection layer both roles share: the events every
connection reports and the HTTP/2 connection machinery (settings, windows,
stream states, remembered resets, floods). ``vintrel.server`` and
``vintrel.client`` build their connections on it."""
