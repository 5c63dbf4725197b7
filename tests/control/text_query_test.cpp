// Reading the unit's answer to the bootload-mode query.
#include <gtest/gtest.h>

#include "control/text_commands.h"

TEST(QueryReply, BothFormsAreRecognisedAndNothingElse) {
  EXPECT_TRUE(IsQueryReply("<sy,bq = ud/>"));
  EXPECT_TRUE(IsQueryReply("<sy,bq=ue/>"));
  EXPECT_TRUE(IsSpacedQueryReply("<sy,bq = ud/>"));
  EXPECT_FALSE(IsSpacedQueryReply("<sy,bq=ud/>"));
  EXPECT_FALSE(IsQueryReply("<SY,BQ = UD/>"));  // case matters
  EXPECT_FALSE(IsQueryReply("<sy,bq =ud/>"));   // neither form
  EXPECT_FALSE(IsQueryReply("<sy,bu = ud/>"));
  EXPECT_FALSE(IsQueryReply(""));
  EXPECT_FALSE(IsQueryReply(nullptr));
}

TEST(QueryReply, LetterIsTheSecondLetterOfTheValue) {
  EXPECT_EQ('e', QueryReplyLetter("<sy,bq = ue/>"));
  EXPECT_EQ('d', QueryReplyLetter("<sy,bq=ud/>"));
  EXPECT_EQ('d', QueryReplyLetter("<sy,bq = xd and more/>"));
  // A one-letter value yields what follows it, which is neither state.
  EXPECT_EQ('/', QueryReplyLetter("<sy,bq = u/>"));
  EXPECT_EQ('/', QueryReplyLetter("<sy,bq=e/>"));
}

TEST(QueryReply, LetterIsNeverReadPastTheReply) {
  // What lies beyond the terminator is old buffer content, not the reply.
  char compact[16] = "<sy,bq=";
  compact[8] = 'e';
  EXPECT_EQ('\0', QueryReplyLetter(compact));
  char spaced[16] = "<sy,bq = ";
  spaced[10] = 'd';
  EXPECT_EQ('\0', QueryReplyLetter(spaced));
  EXPECT_EQ('\0', QueryReplyLetter("<sy,bu = ue/>"));
}
