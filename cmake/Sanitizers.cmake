# AddressSanitizer and UndefinedBehaviorSanitizer for every target (BRACKENREACH_SANITIZE).
